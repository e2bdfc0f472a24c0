#pragma once
// What the tests ask of the system they run on (Linux, Windows, or Windows as
// Wine offers it), and reading and writing files.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#ifdef _WIN32
// winsock2.h comes before windows.h, as the test server needs.
#include <winsock2.h>

#include <windows.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <string>

#include "update/Paths.h"

// Writes bytes to the file at path, making its folder.
inline void WriteFile(const QString& path, const std::string& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// The bytes of the file at path; "<missing>" when it cannot be read.
inline std::string ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
}

// True when the tests run as the superuser, who writes anywhere.
inline bool IsSuperuser() {
#ifdef _WIN32
    return false;
#else
    return ::geteuid() == 0;
#endif
}

// True when the tests run under Wine, which lacks parts of Windows: access
// rights on folders, links, the checks of certificates.
inline bool UnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Makes link a symbolic link to target; false where the system makes none
// (Wine's CreateSymbolicLink does nothing).
inline bool MakeLink(const QString& target, const QString& link) {
#ifdef _WIN32
    const std::wstring from = QDir::toNativeSeparators(link).toStdWString();
    const std::wstring to = QDir::toNativeSeparators(target).toStdWString();
    const DWORD flags = (QFileInfo(target).isDir() ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;
    return CreateSymbolicLinkW(from.c_str(), to.c_str(), flags) && modUpdate::IsLink(link);
#else
    return QFile::link(target, link);
#endif
}
