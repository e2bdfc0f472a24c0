// The command line of quelmor-publish.
#include <optional>
#include <utility>

#include "publish/Check.h"
#include "publish/Publish.h"
#include "publish/ReleaseFile.h"

namespace publish {
namespace {

// Prints why the command line is wrong, then the usage, to err; returns 2.
int UsageError(QTextStream& err, const QString& why) {
    err << QStringLiteral("quelmor-publish: ") << why << QStringLiteral("\n\n") << PublishUsage();
    return 2;
}

// The value of option at args[i] ("--name VALUE" or "--name=VALUE"), moving i
// past it; nothing when args[i] is not that option. Sets missing when the
// option has no value.
std::optional<QString> OptionValue(const QStringList& args, qsizetype& i, const QString& option,
                                   bool& missing) {
    if (args[i] == option) {
        if (i + 1 >= args.size()) {
            missing = true;
            return QString();
        }
        return args[++i];
    }
    if (args[i].startsWith(option + QLatin1Char('=')))
        return args[i].mid(option.size() + 1);
    return std::nullopt;
}

} // namespace

QString PublishUsage() {
    return QStringLiteral(
        "Usage:\n"
        "  quelmor-publish RELEASE_DIR SERVER_DIR --version V [--news FILE]\n"
        "                  [--sign SECRET_KEY_FILE] [--include-updater]\n"
        "                  [--lifetime DAYS]\n"
        "  quelmor-publish --check SERVER_DIR [--public-key KEY]\n"
        "  quelmor-publish refresh SERVER_DIR [--sign SECRET_KEY_FILE] [--lifetime DAYS]\n"
        "  quelmor-publish keys SERVER_DIR --root KEY_FILE[,KEY_FILE...] --signing KEY_FILE\n"
        "                  [--new-roots PUBLIC_KEY_FILE[,...]] [--threshold N]\n"
        "  quelmor-publish keygen DIR\n"
        "  quelmor-publish --help\n"
        "\n"
        "Publishes the game files below RELEASE_DIR as an update in SERVER_DIR, the\n"
        "folder the update server serves as the updater's base URL. Every file is put\n"
        "flat into SERVER_DIR, and info.ini lists it with its folder, a version, its size\n"
        "(FileSize) and its SHA-256 (FileSha256). A file whose bytes changed, or whose\n"
        "copy in SERVER_DIR no longer matches info.ini, gets a higher version; a file\n"
        "that left the release keeps its entry. Every publish raises Release in\n"
        "info.ini by one. Files of 1 MiB or more also get patches from the versions\n"
        "they had in the last three releases (those at most half the file's size).\n"
        "info.ini and its signature are written last. When the release cannot be\n"
        "published, every reason is printed and nothing is written.\n"
        "\n"
        "Links are never followed: a symbolic link in RELEASE_DIR or SERVER_DIR is\n"
        "refused. Files and folders named .git, Thumbs.db, desktop.ini or .DS_Store are\n"
        "left out. The updater itself (Quelmor or Quelmor.exe at the top of\n"
        "RELEASE_DIR) is refused without --include-updater: players' updaters replace\n"
        "themselves with it, so a wrong build there breaks every later update.\n"
        "\n"
        "  --version V        the update's version: one not published before for other\n"
        "                     files, without ; = [ ] quotes, control characters or\n"
        "                     blanks at either end\n"
        "  --news FILE        also copy FILE, written in UTF-8, to SERVER_DIR/news.txt,\n"
        "                     the news players see\n"
        "  --sign KEY_FILE    sign info.ini with a minisign secret key, into\n"
        "                     SERVER_DIR/info.ini.minisig. The password of an encrypted\n"
        "                     key is asked for on the terminal; when standard input is\n"
        "                     not a terminal, its first line is the password. Once a\n"
        "                     folder is signed, every publish must be signed by that key.\n"
        "  --include-updater  publish the updater's own executable too\n"
        "  --lifetime DAYS    how long release.ini holds (1 to 366 days, default 7);\n"
        "                     renew it before then with refresh\n"
        "  --check            check SERVER_DIR the way the updater reads it: info.ini,\n"
        "                     every file's size and SHA-256, by-hash/, every patch\n"
        "                     (applied to its base), and, with --public-key KEY (a\n"
        "                     .pub file or its base64 line), the signature. Warns\n"
        "                     when news.txt is missing or not UTF-8.\n"
        "  refresh            sign release.ini again with a new signing time and expiry,\n"
        "                     nothing else changed; run it from a timer\n"
        "  keys               write the next keys.ini, signed by the root keys given\n"
        "                     (--root), naming the --signing key as the one that signs\n"
        "                     releases from now on, and sign release.ini with it;\n"
        "                     --new-roots replaces the root keys, --threshold sets how\n"
        "                     many roots must sign the next list\n"
        "  keygen DIR         make a key pair in minisign's format: DIR/quelmor.pub and\n"
        "                     DIR/quelmor.key (not encrypted, readable only by you);\n"
        "                     never replaces a key\n"
        "  --help             show this text\n"
        "\n"
        "SERVER_DIR also holds:\n"
        "  release.ini                the signed statement of the current release: its\n"
        "                             number, version, the manifest's hash and size and\n"
        "                             its compressed copy by-hash/<SHA-256>.zst; revalidate\n"
        "                             it on every request, purge only it on a CDN\n"
        "  keys.ini, keys-N.ini       the signing and root keys, when keys has been run\n"
        "  by-hash/                   every file and patch info.ini names, under its\n"
        "                             SHA-256, never written over (info.ini: ByHash=1)\n"
        "  patches/                   the patches, as <old SHA-256>-<new SHA-256>.zst\n"
        "  .quelmor-publish-manifests the manifests of the last three releases; what\n"
        "                             none of them names leaves by-hash/ and patches/\n"
        "  .quelmor-publish-versions  every publish, one line each, oldest first: the\n"
        "                             release number, a tab, the version\n"
        "  .quelmor-publish-pending   only while a publish is unfinished\n"
        "\n"
        "Exit status: 0 done, 1 refused or failed, 2 wrong command line.\n");
}

namespace {

// The days of a --lifetime value: 1 to 366; 0 when it is not one.
int LifetimeOf(const std::optional<QString>& value) {
    if (!value)
        return DefaultLifetimeDays;
    bool ok = false;
    const int days = value->toInt(&ok);
    return ok && days >= 1 && days <= 366 && QString::number(days) == *value ? days : 0;
}

} // namespace

int RunPublish(const QStringList& args, QTextStream& out, QTextStream& err) {
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        out << PublishUsage();
        return 0;
    }
    if (!args.isEmpty() && args.first() == QStringLiteral("keygen")) {
        if (args.size() != 2 || args[1].startsWith(QLatin1Char('-')))
            return UsageError(err, QStringLiteral("keygen takes one folder and nothing else"));
        return MakeKeys(args[1], out, err);
    }
    std::optional<QString> version;
    std::optional<QString> news;
    std::optional<QString> sign;
    std::optional<QString> publicKey;
    std::optional<QString> lifetime, root, signing, newRoots, threshold;
    const std::pair<QString, std::optional<QString>*> valued[] = {
        {QStringLiteral("--lifetime"), &lifetime},   {QStringLiteral("--root"), &root},
        {QStringLiteral("--signing"), &signing},     {QStringLiteral("--new-roots"), &newRoots},
        {QStringLiteral("--threshold"), &threshold}, {QStringLiteral("--version"), &version},
        {QStringLiteral("--news"), &news},           {QStringLiteral("--sign"), &sign},
        {QStringLiteral("--public-key"), &publicKey}};
    bool check = false;
    bool includeUpdater = false;
    QStringList folders;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool known = false;
        for (const auto& [option, target] : valued) {
            bool missing = false;
            const std::optional<QString> value = OptionValue(args, i, option, missing);
            if (!value)
                continue;
            // Only the version may be empty: it is refused later with a reason.
            if (missing || *target || (value->isEmpty() && target != &version))
                return UsageError(err,
                                  QStringLiteral("%1 needs one value, given once").arg(option));
            *target = value;
            known = true;
            break;
        }
        if (known)
            continue;
        if (args[i] == QStringLiteral("--check"))
            check = true;
        else if (args[i] == QStringLiteral("--include-updater"))
            includeUpdater = true;
        else if (args[i].startsWith(QLatin1Char('-')) && args[i].size() > 1)
            return UsageError(err, QStringLiteral("unknown option %1").arg(args[i]));
        else
            folders << args[i];
    }
    const int days = LifetimeOf(lifetime);
    if (days == 0)
        return UsageError(err, QStringLiteral("--lifetime takes a number of days from 1 to 366"));
    const QString command = folders.value(0);
    const bool keys = command == QStringLiteral("keys");
    if (!keys && (root || signing || newRoots || threshold))
        return UsageError(err, QStringLiteral("--root, --signing, --new-roots and --threshold go "
                                              "with keys"));
    if (command == QStringLiteral("refresh")) {
        if (folders.size() != 2 || check || version || news || publicKey || includeUpdater)
            return UsageError(err,
                              QStringLiteral("refresh takes one folder and, optionally, --sign "
                                             "and --lifetime"));
        return Refresh(folders[1], sign.value_or(QString()), days, out, err);
    }
    if (keys) {
        const int needed = threshold ? threshold->toInt() : 0;
        if (folders.size() != 2 || !root || !signing || check || version || news || sign ||
            publicKey || includeUpdater || lifetime || (threshold && needed < 1))
            return UsageError(err, QStringLiteral("keys takes one folder, --root, --signing and, "
                                                  "optionally, --new-roots and --threshold N"));
        return RotateKeys({folders[1], root->split(u','), *signing,
                           newRoots ? newRoots->split(u',') : QStringList(), needed},
                          out, err);
    }
    if (check) {
        if (folders.size() != 1 || version || news || sign || includeUpdater || lifetime)
            return UsageError(err, QStringLiteral("--check takes one folder and, optionally, "
                                                  "--public-key KEY"));
        return CheckServer(folders[0], publicKey.value_or(QString()), out, err);
    }
    if (folders.size() != 2)
        return UsageError(err, QStringLiteral("give the release folder and the server folder"));
    if (!version)
        return UsageError(err, QStringLiteral("--version is missing"));
    if (publicKey)
        return UsageError(err, QStringLiteral("--public-key goes with --check"));
    return Publish({folders[0], folders[1], *version, news.value_or(QString()),
                    sign.value_or(QString()), includeUpdater, days},
                   out, err);
}

} // namespace publish
