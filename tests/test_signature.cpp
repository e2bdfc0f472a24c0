// minisign signatures both ways with Debian's minisign: VerifyMinisign takes what
// minisign -S signs and refuses changes; minisign -V takes what quelmor-publish
// --sign writes, with our keys, minisign's, and encrypted ones.
#include "Platform.h"
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "update/Signature.h"

using namespace modUpdate;

namespace {

class SignatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (UnderWine())
            GTEST_SKIP() << "minisign, the tool these signatures are checked against, runs on "
                            "Linux only";
        Write("message", "The bytes that are signed\n");
        for (const QString name : {"a", "b"})
            ASSERT_EQ(Exec("minisign", {"-G", "-W", "-p", name + ".pub", "-s", name + ".key"}), 0);
    }

    // Runs program in the temporary folder with input; its status, its output in output_.
    int Exec(const QString& program, const QStringList& args, const QByteArray& input = {}) {
        QProcess process;
        process.setWorkingDirectory(dir_.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, args);
        process.write(input);
        process.closeWriteChannel();
        const bool ended = process.waitForFinished(180000);
        output_ = QString::fromUtf8(process.readAll());
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QByteArray Read(const QString& name) const {
        return QByteArray::fromStdString(ReadFile(dir_.filePath(name)));
    }
    void Write(const QString& name, const QByteArray& bytes) {
        WriteFile(dir_.filePath(name), bytes.toStdString());
    }
    MinisignPublicKey Key(const QByteArray& text) {
        MinisignPublicKey key;
        EXPECT_TRUE(ParsePublicKey(text, key));
        return key;
    }
    // minisign -S's signature of the message by key a or b, with more options.
    QByteArray Signed(const QString& key, const QStringList& options = {}) {
        const QString sig = "sig-" + key + options.join(QString());
        EXPECT_EQ(Exec("minisign", QStringList{"-S", "-s", key + ".key", "-m", "message", "-x", sig,
                                               "-t", "trusted words"} +
                                       options),
                  0);
        return Read(sig);
    }

    QTemporaryDir dir_;
    QString output_;
};

// The signature with its algorithm and key id bytes replaced.
QByteArray Relabel(const QByteArray& signature, const QByteArray& algorithm,
                   const QByteArray& keyId) {
    QByteArrayList lines = signature.split('\n');
    lines[1] = (algorithm + keyId + QByteArray::fromBase64(lines[1]).mid(10)).toBase64();
    return lines.join('\n');
}

TEST_F(SignatureTest, WhatMinisignSignsIsAcceptedAndEveryChangeRefused) {
    const QByteArray pub = Read("a.pub"), line = pub.split('\n').value(1);
    const MinisignPublicKey a = Key(pub);
    // The .pub file and its key line are the same key; its id as minisign names it.
    for (const QByteArray& text : {line, line + "\r\n"})
        EXPECT_EQ(Key(text).key + Key(text).keyId, a.key + a.keyId);
    EXPECT_EQ(KeyIdText(a.keyId),
              QString(pub.split('\n')[0]).section(' ', -1).rightJustified(16, '0'));
    const QByteArray good = Signed("a"), legacy = Signed("a", {"-l"}), line2 = good.split('\n')[1];
    EXPECT_EQ(QByteArray::fromBase64(line2).left(2), "ED"); // prehashed, BLAKE2b-512
    EXPECT_EQ(QByteArray::fromBase64(legacy.split('\n')[1]).left(2), "Ed");
    const QByteArray message = Read("message");
    const QString bad = "it is not a minisign signature: ";
    const std::tuple<QByteArray, QByteArray, QString> table[] = {
        {good, message, ""},
        {legacy, message, ""},
        {Signed("b"), message,
         "it was made by another key (key id " + KeyIdText(Key(Read("b.pub")).keyId) +
             ", expected " + KeyIdText(a.keyId) + ")"},
        {good, message + "x", "it does not match the file"},
        {legacy, message + "x", "it does not match the file"},
        {Relabel(good, "Ed", a.keyId), message, "it does not match the file"},
        {Relabel(Signed("b"), "ED", a.keyId), message, "it does not match the file"},
        {QByteArray(good).replace("trusted words", "trusted wordz"), message,
         "its trusted comment was altered"},
        {good.left(good.size() / 2), message, bad + "it has 2 line(s) instead of 4"},
        {good + "extra\n", message, bad + "it has 5 line(s) instead of 4"},
        {"", message, bad + "it has 0 line(s) instead of 4"},
        {good.left(good.size() - 10) + "\n", message,
         bad + "line 4 is not the base64 of a 64-byte signature"},
        {QByteArray(good).replace(line2.mid(20, 4), "!!!!"), message,
         bad + "line 2 is not the base64 of a 74-byte signature"},
        {QByteArray(good).replace("untrusted comment:", "comment:"), message,
         bad + "line 1 does not start with \"untrusted comment: \""},
        {QByteArray(good).replace("trusted comment: trusted", "trusted: trusted"), message,
         bad + "line 3 does not start with \"trusted comment: \""},
        {Relabel(good, "EX", a.keyId), message,
         bad + "its algorithm \"4558\" is neither Ed (legacy) nor ED"},
        {QByteArray(MaxSignatureFileSize + 1, '\n'), message, bad + "it is 16385 bytes long"}};
    for (const auto& [signature, signedBytes, reason] : table) {
        SCOPED_TRACE(reason.toStdString());
        QString comment = "unchanged";
        const Result verified = VerifyMinisign(a, signedBytes, signature, &comment);
        EXPECT_TRUE(reason.isEmpty() ? bool(verified) : verified.why().startsWith(reason))
            << verified.why().toStdString();
        EXPECT_EQ(comment, reason.isEmpty() ? "trusted words" : "unchanged");
    }
    MinisignPublicKey key;
    for (const QByteArray& text : QByteArrayList{"RWQ", "untrusted comment: x\nRWQ\nmore", line2})
        EXPECT_TRUE(ParsePublicKey(text, key).why().startsWith("it is not a minisign public key: "))
            << text.toStdString();
}

TEST_F(SignatureTest, MinisignAcceptsWhatQuelmorPublishSigns) {
    Write("release/game.dat", "GAME");
    ASSERT_EQ(Exec(QUELMOR_PUBLISH_EXE, {"keygen", "ours"}), 0);
    ASSERT_EQ(Exec("minisign", {"-G", "-p", "e.pub", "-s", "e.key"}, "secret\nsecret\n"), 0);
    // A copy of e.key with cheap scrypt limits (32768, 16 MiB), so the
    // password derives the wrong key.
    QByteArrayList lines = Read("e.key").split('\n');
    lines[1] = QByteArray::fromBase64(lines[1])
                   .replace(38, 16, QByteArray::fromHex("00800000000000000000000100000000"))
                   .toBase64();
    Write("cheap.key", lines.join('\n'));
    // The key, its public half ("" when refused), the password, whether typed on a
    // terminal, and words of what the tool says.
    const std::tuple<QString, QString, QByteArray, bool, QString> table[] = {
        {"ours/quelmor.key", "ours/quelmor.pub", {}, false, "signed by key id"},
        {"a.key", "a.pub", {}, false, "signed by key id"},
        {"e.key", "e.pub", "secret\n", true, "Password for e.key: "},
        {"cheap.key", "", "secret\n", false, "cannot be used: wrong password for this key"},
        {"e.key", "", {}, false, "cannot be used: the key is encrypted and no password was given"},
        {"b.pub", "", {}, false, "cannot be used: it is not a minisign secret key"}};
    int row = 0;
    for (const auto& [key, pub, password, terminal, words] : table) {
        const QString server = QStringLiteral("srv-%1").arg(row++);
        SCOPED_TRACE(server.toStdString());
        const QStringList args = {"release", server, "--version", "1", "--sign", key};
        const int status =
            terminal
                ? Exec("script", {"-qec", QUELMOR_PUBLISH_EXE " " + args.join(' '), "/dev/null"},
                       password)
                : Exec(QUELMOR_PUBLISH_EXE, args, password);
        EXPECT_TRUE(output_.contains(words)) << output_.toStdString();
        EXPECT_EQ(status, pub.isEmpty() ? 1 : 0);
        EXPECT_EQ(QFileInfo::exists(dir_.filePath(server)), !pub.isEmpty());
        if (pub.isEmpty())
            continue;
        EXPECT_EQ(Exec("minisign", {"-V", "-p", pub, "-m", server + "/info.ini"}), 0)
            << output_.toStdString();
        EXPECT_TRUE(output_.contains("file:info.ini\tversion:1\trelease:1"))
            << output_.toStdString();
        EXPECT_EQ(Exec(QUELMOR_PUBLISH_EXE, {"--check", server, "--public-key", pub}), 0)
            << output_.toStdString();
    }
    EXPECT_EQ(QFile::permissions(dir_.filePath("ours/quelmor.key")) & QFile::Permissions(0x0077),
              0);
}

} // namespace
