// minisign signatures both ways with Debian's minisign tool: VerifyMinisign
// accepts what minisign -S signs (prehashed and legacy) and refuses what it
// must; minisign -V accepts what quelmor-publish --sign writes, with a key
// from quelmor-publish keygen, from minisign -G -W, and an encrypted one from
// minisign -G (its password typed on a terminal, piped, or missing).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "update/Signature.h"

namespace {

// What a program printed (standard output and error) and its exit status.
struct Outcome {
    int status = -1;
    QString output;
};

class SignatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        Write("message", "The bytes that are signed\n");
        for (const char* name : {"a", "b"})
            ASSERT_EQ(Exec("minisign",
                           {"-G", "-W", "-p", QString(name) + ".pub", "-s", QString(name) + ".key"})
                          .status,
                      0);
    }

    // Runs program in the temporary folder, input on its standard input.
    Outcome Exec(const QString& program, const QStringList& args, const QByteArray& input = {}) {
        QProcess process;
        process.setWorkingDirectory(dir_.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, args);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(180000))
            return {-1, QStringLiteral("timed out")};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAll())};
    }
    QByteArray Read(const QString& name) const {
        QFile file(dir_.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void Write(const QString& name, const QByteArray& bytes) {
        QFile file(dir_.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    MinisignPublicKey Key(const QByteArray& text) {
        MinisignPublicKey key;
        EXPECT_EQ(ParsePublicKey(text, key), "");
        return key;
    }
    // minisign -S's signature of the message by key a or b, with more options.
    QByteArray Signed(const char* key, const QStringList& options = {}) {
        const QString sig = QStringLiteral("sig-%1-%2").arg(key).arg(options.join(QString()));
        EXPECT_EQ(Exec("minisign", QStringList{"-S", "-s", QString(key) + ".key", "-m", "message",
                                               "-x", sig, "-t", "trusted words"} +
                                       options)
                      .status,
                  0);
        return Read(sig);
    }

    QTemporaryDir dir_;
};

TEST_F(SignatureTest, WhatMinisignSignsIsAccepted) {
    const QByteArray pub = Read("a.pub");
    const QByteArray line = pub.split('\n').value(1);
    // Both forms of the key; the prehashed and the legacy algorithm.
    const std::tuple<QByteArray, QStringList, QByteArray> table[] = {
        {pub, {}, "ED"}, {line, {"-l"}, "Ed"}, {line + "\r\n", {}, "ED"}};
    for (const auto& [keyText, options, algorithm] : table) {
        SCOPED_TRACE(keyText.toStdString() + options.join(' ').toStdString());
        const QByteArray signature = Signed("a", options);
        EXPECT_EQ(QByteArray::fromBase64(signature.split('\n').value(1)).left(2), algorithm);
        QString comment;
        EXPECT_EQ(VerifyMinisign(Key(keyText), Read("message"), signature, &comment), "");
        EXPECT_EQ(comment, "trusted words");
    }
    // minisign names the key in the comment line, without leading zeros.
    EXPECT_EQ(KeyIdText(Key(pub).keyId),
              QString(pub.split('\n')[0]).section(' ', -1).rightJustified(16, '0'));
}

// The signature with its algorithm and key id bytes replaced.
QByteArray Relabel(const QByteArray& signature, const QByteArray& algorithm,
                   const QByteArray& keyId) {
    QByteArrayList lines = signature.split('\n');
    lines[1] = (algorithm + keyId + QByteArray::fromBase64(lines[1]).mid(10)).toBase64();
    return lines.join('\n');
}

TEST_F(SignatureTest, RefusalsSayWhy) {
    const MinisignPublicKey a = Key(Read("a.pub"));
    const QByteArray good = Signed("a");
    const QByteArray line2 = good.split('\n')[1];
    const QByteArray message = Read("message");
    const QString notSignature = "it is not a minisign signature: ";
    const std::tuple<QByteArray, QByteArray, QString> table[] = {
        {Signed("b"), message,
         "it was made by another key (key id " + KeyIdText(Key(Read("b.pub")).keyId) +
             ", expected " + KeyIdText(a.keyId) + ")"},
        {good, message + "x", "it does not match the file"},
        {Signed("a", {"-l"}), message + "x", "it does not match the file"},
        {Relabel(good, "Ed", a.keyId), message, "it does not match the file"},
        {Relabel(Signed("b"), "ED", a.keyId), message, "it does not match the file"},
        {QByteArray(good).replace("trusted words", "trusted wordz"), message,
         "its trusted comment was altered"},
        {good.left(good.size() / 2), message, notSignature + "it has 2 line(s) instead of 4"},
        {good + "extra\n", message, notSignature + "it has 5 line(s) instead of 4"},
        {"", message, notSignature + "it has 0 line(s) instead of 4"},
        {good.left(good.size() - 10) + "\n", message,
         notSignature + "line 4 is not the base64 of a 64-byte signature"},
        {QByteArray(good).replace(line2.mid(20, 4), "!!!!"), message,
         notSignature + "line 2 is not the base64 of a 74-byte signature"},
        {QByteArray(good).replace("untrusted comment:", "comment:"), message,
         notSignature + "line 1 does not start with \"untrusted comment: \""},
        {QByteArray(good).replace("trusted comment: trusted", "trusted: trusted"), message,
         notSignature + "line 3 does not start with \"trusted comment: \""},
        {Relabel(good, "EX", a.keyId), message,
         notSignature + "its algorithm \"4558\" is neither Ed (legacy) nor ED"},
        {QByteArray(MaxSignatureFileSize + 1, '\n'), message,
         notSignature + "it is 16385 bytes long"},
    };
    for (const auto& [signature, signedBytes, reason] : table) {
        SCOPED_TRACE(reason.toStdString());
        QString comment = "unchanged";
        const QString why = VerifyMinisign(a, signedBytes, signature, &comment);
        EXPECT_TRUE(why.startsWith(reason)) << why.toStdString();
        EXPECT_EQ(comment, "unchanged");
    }
    MinisignPublicKey key;
    for (const QByteArray& text : QByteArrayList{"RWQ", "untrusted comment: x\nRWQ\nmore", line2})
        EXPECT_TRUE(ParsePublicKey(text, key).startsWith("it is not a minisign public key: "))
            << text.toStdString();
}

TEST_F(SignatureTest, MinisignAcceptsWhatQuelmorPublishSigns) {
    ASSERT_TRUE(QDir(dir_.path()).mkpath("release"));
    Write("release/game.dat", "GAME");
    ASSERT_EQ(Exec(QUELMOR_PUBLISH_EXE, {"keygen", "ours"}).status, 0);
    ASSERT_EQ(Exec("minisign", {"-G", "-p", "e.pub", "-s", "e.key"}, "secret\nsecret\n").status, 0);
    // Copies of keys with bytes replaced: e.key with cheap scrypt limits (32768, 16 MiB), so
    // the password derives the wrong key; a.key with its secret half zeroed.
    const auto edit = [this](const char* from, const char* to, qsizetype at,
                             const QByteArray& bytes) {
        QByteArrayList lines = Read(from).split('\n');
        lines[1] = QByteArray::fromBase64(lines[1]).replace(at, bytes.size(), bytes).toBase64();
        Write(to, lines.join('\n'));
    };
    edit("e.key", "cheap.key", 38, QByteArray::fromHex("00800000000000000000000100000000"));
    edit("a.key", "damaged.key", 62, QByteArray(32, '\0'));
    struct Row {
        QString key;
        QString pub; // "" when the key must be refused
        QByteArray password;
        bool terminal; // the password is typed on a terminal, else piped
        QString words;
    };
    const Row table[] = {
        {"ours/quelmor.key", "ours/quelmor.pub", {}, false, "signed by key id"},
        {"a.key", "a.pub", {}, false, "signed by key id"},
        {"e.key", "e.pub", "secret\n", true, "Password for e.key: "},
        {"cheap.key", "", "secret\n", false, "cannot be used: wrong password for this key"},
        {"damaged.key", "", {}, false, "the key file is damaged: its secret key is not a key pair"},
        {"e.key", "", {}, false, "cannot be used: the key is encrypted and no password was given"},
        {"b.pub", "", {}, false, "cannot be used: it is not a minisign secret key"}};
    for (const Row& row : table) {
        const QString server = QStringLiteral("srv-%1").arg(&row - table);
        SCOPED_TRACE(server.toStdString());
        const QStringList args = {"release", server, "--version", "1", "--sign", row.key};
        const Outcome published =
            row.terminal ? Exec("script",
                                {"-qec", QUELMOR_PUBLISH_EXE + (" " + args.join(' ')), "/dev/null"},
                                row.password)
                         : Exec(QUELMOR_PUBLISH_EXE, args, row.password);
        EXPECT_TRUE(published.output.contains(row.words)) << published.output.toStdString();
        if (row.pub.isEmpty()) {
            EXPECT_EQ(published.status, 1);
            EXPECT_FALSE(QFileInfo::exists(dir_.filePath(server)));
            continue;
        }
        EXPECT_EQ(published.status, 0);
        const Outcome verified =
            Exec("minisign", {"-V", "-p", row.pub, "-m", server + "/info.ini"});
        EXPECT_EQ(verified.status, 0) << verified.output.toStdString();
        EXPECT_TRUE(verified.output.contains("file:info.ini\tversion:1\trelease:1"))
            << verified.output.toStdString();
        const Outcome checked =
            Exec(QUELMOR_PUBLISH_EXE, {"--check", server, "--public-key", row.pub});
        EXPECT_EQ(checked.status, 0) << checked.output.toStdString();
    }
    const QFile::Permissions others =
        QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    EXPECT_EQ(QFile::permissions(dir_.filePath("ours/quelmor.key")) & others, 0);
}

} // namespace
