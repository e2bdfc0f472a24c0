#pragma once
// A game folder in a temporary directory, a test server and the real window,
// ready for an update run.

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <initializer_list>

#include "TestServer.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

// Lets test failures show texts as texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// One file entry of a manifest written by a test.
struct Entry {
    std::string name;
    std::string version;
    std::string path;
};

// Test listings show separators as "|", which every test runner passes through.
inline void PrintTo(const Entry& entry, std::ostream* out) {
    std::string text = "FileName=" + entry.name + " FilePath=" + entry.path;
    for (char& c : text)
        c = (c == '/' || c == '\\') ? '|' : c;
    *out << text;
}

// The text of a manifest with the given version, "Max" and entries.
inline std::string Manifest(const std::string& version, const std::string& max,
                            std::initializer_list<Entry> entries) {
    std::string text = "[VERSION]\r\nVersion=" + version + "\r\nMax=" + max + "\r\n[FILES]\r\n";
    int i = 0;
    for (const Entry& entry : entries) {
        const std::string n = std::to_string(++i);
        text += "FileName" + n + "=" + entry.name + "\r\nFileVersion" + n + "=" + entry.version +
                "\r\nFilePath" + n + "=" + entry.path + "\r\n";
    }
    return text;
}

// The game folder lies in a temporary folder beside a sentinel folder that no
// run may touch; its name holds a blank and a non-ASCII letter.
class UpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        ASSERT_TRUE(QDir(root_.path()).mkpath(QStringLiteral("Game Folder \u00e9")));
        ASSERT_TRUE(QDir(root_.path()).mkpath(QStringLiteral("sentinel")));
        QFile sentinel(root_.filePath(QStringLiteral("sentinel/keep.txt")));
        ASSERT_TRUE(sentinel.open(QIODevice::WriteOnly));
        sentinel.write("sentinel");
        sentinel.close();
        game_ = root_.filePath(QStringLiteral("Game Folder \u00e9"));
        SetAppFolderForTests(game_);
        modUpdate::SetServerUrlForTests(server_.baseUrl());
        modUpdate::InstalledVersion.clear();
        modUpdate::ServerVersion.clear();
        modUpdate::ChangedCount = 0;
        modUpdate::UpdateNumber = 0;
        modUpdate::LocalFiles.clear();
        modUpdate::ServerFiles.clear();
        modUpdate::ExitClicked = false;
        modUpdate::OfflineReason.clear();
        modUpdate::TimeoutSeconds = 60;
        modUpdate::RetryPauseMs = 10; // the pauses between tries, shortened
        modUpdate::RepairMode = false;
        modUpdate::OwnName.clear();
        modUpdate::PublicKey.clear();
        frmUpdate& window = frmUpdate::Instance();
        window.SetContinueEnabled(false);
        window.CaptionLog = &captions_;
    }

    void TearDown() override {
        frmUpdate::Instance().CaptionLog = nullptr;
        modUpdate::ExitClicked = false;
        SetAppFolderForTests(QString());
    }

    QString Path(const QString& name) const { return QDir(game_).filePath(name); }

    void Write(const QString& name, const std::string& bytes) {
        QFile file(Path(name));
        QDir().mkpath(QFileInfo(file).path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }

    std::string Read(const QString& name) const {
        QFile file(Path(name));
        if (!file.open(QIODevice::ReadOnly))
            return "<missing>";
        return file.readAll().toStdString();
    }

    // Runs the start-up procedure; "" when it ends normally, else the failure message.
    QString RunMain() {
        try {
            modUpdate::Main();
        } catch (const UpdateFailure& failure) {
            return failure.message();
        } catch (const ExitRequested&) {
            return QStringLiteral("<exit>");
        }
        return QString();
    }

    // The captions one control received, in order.
    QStringList CaptionsOf(const QString& control) const {
        QStringList texts;
        for (const QString& entry : captions_) {
            if (entry.startsWith(control + QLatin1Char('=')))
                texts << entry.mid(control.size() + 1);
        }
        return texts;
    }

    // Every file below folder (the game folder by default), relative to it, sorted.
    QStringList Tree(QString folder = QString()) const {
        if (folder.isEmpty())
            folder = game_;
        QStringList files;
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(folder).relativeFilePath(it.next());
        files.sort();
        return files;
    }

    // True when nothing beside the game folder was created, changed or removed.
    bool OutsideIsUntouched() const {
        QFile sentinel(root_.filePath(QStringLiteral("sentinel/keep.txt")));
        if (!sentinel.open(QIODevice::ReadOnly) || sentinel.readAll() != "sentinel")
            return false;
        QStringList outside = Tree(root_.path());
        outside.removeIf([](const QString& file) { return file.startsWith("Game Folder"); });
        return outside == QStringList({"sentinel/keep.txt"}) &&
               QDir(root_.path())
                       .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                  QDir::System) ==
                   QStringList({QStringLiteral("Game Folder \u00e9"), "sentinel"});
    }

    TestServer server_;
    QTemporaryDir root_;
    QString game_;
    QStringList captions_;
};
