// The command line of quelmor-publish.
#include <optional>

#include "publish/Check.h"
#include "publish/Publish.h"

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
        "  quelmor-publish --check SERVER_DIR\n"
        "  quelmor-publish --help\n"
        "\n"
        "Publishes the game files below RELEASE_DIR as an update in SERVER_DIR, the\n"
        "folder the update server serves as http://<host>:4444/Quelmor/. Every file is\n"
        "put flat into SERVER_DIR, and info.ini lists it with its folder and a version.\n"
        "A file whose bytes changed gets a higher version; a file that left the release\n"
        "keeps its entry. info.ini is written last. When the release cannot be\n"
        "published, every reason is printed and nothing is written.\n"
        "\n"
        "  --version V   the update's version; it must differ from the one published\n"
        "                whenever files changed\n"
        "  --news FILE   also copy FILE to SERVER_DIR/news.txt, the news players see\n"
        "  --check       check SERVER_DIR the way the updater will read it\n"
        "  --help        show this text\n"
        "\n"
        "Exit status: 0 done, 1 refused or failed, 2 wrong command line.\n");
}

int RunPublish(const QStringList& args, QTextStream& out, QTextStream& err) {
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        out << PublishUsage();
        return 0;
    }
    if (!args.isEmpty() && args.first() == QStringLiteral("--check")) {
        if (args.size() != 2)
            return UsageError(err, QStringLiteral("--check takes one folder and nothing else"));
        return CheckServer(args[1], out, err);
    }
    PublishRequest request;
    std::optional<QString> version;
    std::optional<QString> news;
    QStringList folders;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool missing = false;
        if (auto value = OptionValue(args, i, QStringLiteral("--version"), missing)) {
            if (missing || version)
                return UsageError(err, QStringLiteral("--version needs one value, given once"));
            version = value;
        } else if (auto file = OptionValue(args, i, QStringLiteral("--news"), missing)) {
            if (missing || news || file->isEmpty())
                return UsageError(err, QStringLiteral("--news needs one file, given once"));
            news = file;
        } else if (args[i].startsWith(QLatin1Char('-')) && args[i].size() > 1) {
            return UsageError(err, QStringLiteral("unknown option %1").arg(args[i]));
        } else {
            folders << args[i];
        }
    }
    if (folders.size() != 2)
        return UsageError(err, QStringLiteral("give the release folder and the server folder"));
    if (!version)
        return UsageError(err, QStringLiteral("--version is missing"));
    request.releaseDir = folders[0];
    request.serverDir = folders[1];
    request.version = *version;
    request.newsFile = news.value_or(QString());
    return Publish(request, out, err);
}
