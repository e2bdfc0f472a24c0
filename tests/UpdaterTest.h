#pragma once
// An update run's world: a game folder beside a sentinel folder no run may touch,
// a test server on loopback and the real window offscreen, its captions logged.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <vector>

#include "Platform.h"
#include "TestServer.h"
#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

// The tests speak the updater's own names.
using namespace modUpdate;
using namespace ui;

// Lets test failures show texts as texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// A manifest with version, "Max" and entries "FileName|FileVersion[|FilePath]".
inline std::string Manifest(const std::string& version, const std::string& max,
                            const std::vector<std::string>& entries) {
    std::string text = "[VERSION]\r\nVersion=" + version + "\r\nMax=" + max + "\r\n[FILES]\r\n";
    for (std::size_t i = 1; i <= entries.size(); ++i) {
        const QStringList fields = QString::fromStdString(entries[i - 1]).split('|');
        const std::string n = std::to_string(i);
        text += "FileName" + n + "=" + fields.value(0).toStdString() + "\r\nFileVersion" + n + "=" +
                fields.value(1).toStdString() + "\r\nFilePath" + n + "=" +
                fields.value(2).toStdString() + "\r\n";
    }
    return text;
}

// The SHA-256 of bytes in lower-case hex, as a manifest gives it.
inline std::string Sha256Of(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Every file below folder (hidden ones too), relative to it, sorted.
inline QStringList Tree(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

// The manifest with the sizes and the SHA-256s of the bytes of entries 1, 2, ...
inline std::string Sized(const std::string& manifest, const std::vector<std::string>& sizes,
                         const std::vector<std::string>& bytes = {}) {
    std::string text = manifest;
    for (std::size_t i = 0; i < sizes.size(); ++i)
        text += "FileSize" + std::to_string(i + 1) + "=" + sizes[i] + "\r\n";
    for (std::size_t i = 0; i < bytes.size(); ++i)
        text += "FileSha256" + std::to_string(i + 1) + "=" + Sha256Of(bytes[i]) + "\r\n";
    return text;
}

class UpdaterTest : public ::testing::Test {
  public:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        WriteFile(root_.filePath(QStringLiteral("sentinel/keep.txt")), "sentinel");
        game_ = root_.filePath(QStringLiteral("Game Folder \u00e9")); // a blank, a non-ASCII letter
        ASSERT_TRUE(QDir().mkpath(game_));
        SetAppFolderForTests(game_);

        frmUpdate::Instance().SetContinueEnabled(false);
        frmUpdate::Instance().CaptionLog = &captions_;
        modUpdate::Window.ReportFailure = [this](const QString& text, const QString& details) {
            told_ << text;
            ReportFailure(text, details);
        };
    }

    void TearDown() override {
        frmUpdate::Instance().CaptionLog = nullptr;
        ConnectWindow();
        SetAppFolderForTests(QString());
    }

    QString Path(const QString& name) const { return QDir(game_).filePath(name); }
    void Write(const QString& name, const std::string& bytes) { WriteFile(Path(name), bytes); }
    std::string Read(const QString& name) const { return ReadFile(Path(name)); }
    QStringList Tree() const { return ::Tree(game_); }

    // Runs the update: "" when it ends normally or offline, "<exit>" after "Exit",
    // "<running>" when another updater runs, else the failure's message.
    QString RunMain() {
        try {
            if (modUpdate::Main(settings_) == modUpdate::MainEnd::AnotherRuns)
                return QStringLiteral("<running>");
        } catch (const ExitRequested&) {
            return QStringLiteral("<exit>");
        }
        if (CaptionsOf("L2").endsWith("Update failed! You can still play."))
            return modUpdate::Window.OfflineReason;
        return QString();
    }

    // The captions one control received, in order.
    QStringList CaptionsOf(const QString& control) const {
        QStringList texts;
        for (const QString& entry : captions_)
            if (entry.startsWith(control + QLatin1Char('=')))
                texts << entry.mid(control.size() + 1);
        return texts;
    }

    // True when nothing beside the game folder was created, changed or removed.
    bool OutsideIsUntouched() const {
        return ReadFile(root_.filePath("sentinel/keep.txt")) == "sentinel" &&
               ::Tree(root_.filePath("sentinel")) == QStringList({"keep.txt"}) &&
               QDir(root_.path())
                       .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                  QDir::System) ==
                   QStringList({QStringLiteral("Game Folder \u00e9"), "sentinel"});
    }

    TestServer server_;
    // The run's settings: this server, the pauses between tries shortened.
    Settings settings_{.servers = {server_.baseUrl()}, .retryPauseMs = 10};
    QTemporaryDir root_;
    QString game_;
    QStringList captions_;
    QStringList told_; // the texts of the failures shown to the player
};
