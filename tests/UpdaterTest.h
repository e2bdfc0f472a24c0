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

class UpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        SetAppFolderForTests(dir_.path());
        modUpdate::SetServerUrlForTests(server_.baseUrl());
        modUpdate::InstalledVersion.clear();
        modUpdate::ServerVersion.clear();
        modUpdate::ChangedCount = 0;
        modUpdate::UpdateNumber = 0;
        modUpdate::LocalFiles.clear();
        modUpdate::ServerFiles.clear();
        frmUpdate& window = frmUpdate::Instance();
        window.ExitClicked = false;
        window.Inet.RequestTimeoutMs = 60000;
        window.SetContinueEnabled(false);
        window.CaptionLog = &captions_;
    }

    void TearDown() override {
        frmUpdate::Instance().CaptionLog = nullptr;
        frmUpdate::Instance().Inet.Abort();
        frmUpdate::Instance().Inet.CloseConnections();
        SetAppFolderForTests(QString());
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }

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

    // Every file below the game folder, relative to it, sorted.
    QStringList Tree() const {
        QStringList files;
        QDirIterator it(dir_.path(), QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(dir_.path()).relativeFilePath(it.next());
        files.sort();
        return files;
    }

    TestServer server_;
    QTemporaryDir dir_;
    QStringList captions_;
};
