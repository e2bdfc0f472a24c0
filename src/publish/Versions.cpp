#include "publish/Versions.h"

#include "publish/Names.h"

namespace publish {
namespace {

// True for the characters an INI reader may take for structure or drop.
bool MisreadInIni(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7f || QStringLiteral(";=[]\"'").contains(c);
}

// The trailing run of ASCII digits of text counted up by one, carrying
// leftwards ("0009" -> "0010", "99" -> "100"); text + "2" when it ends in no
// digit. Cannot fail.
QString CountUp(const QString& text) {
    qsizetype start = text.size();
    while (start > 0 && text[start - 1] >= u'0' && text[start - 1] <= u'9')
        --start;
    if (start == text.size())
        return text + u'2';
    QString next = text;
    for (qsizetype i = next.size() - 1; i >= start; --i) {
        if (next[i] != u'9') {
            next[i] = QChar(next[i].unicode() + 1);
            return next;
        }
        next[i] = u'0';
    }
    return next.insert(start, u'1');
}

} // namespace

QString VersionProblem(const QString& version) {
    if (version.isEmpty())
        return QStringLiteral("the version is empty: give --version a value players have not had "
                              "yet");
    QStringList found; // what is wrong, each once
    QString fixed;     // version with every such character turned into '-'
    for (const QChar c : version) {
        if (!MisreadInIni(c)) {
            fixed += c;
            continue;
        }
        const QString shown = c.unicode() < 0x20 || c.unicode() == 0x7f
                                  ? QStringLiteral("a control character")
                                  : QStringLiteral("'%1'").arg(c);
        if (!found.contains(shown))
            found << shown;
        fixed += u'-';
    }
    if (version != version.trimmed())
        found << QStringLiteral("blanks at either end");
    fixed = fixed.trimmed();
    if (!found.isEmpty())
        return QStringLiteral("the version \"%1\" holds %2, which an INI reader may misread; "
                              "give --version \"%3\" instead")
            .arg(version, found.join(QStringLiteral(" and ")),
                 fixed.isEmpty() ? QStringLiteral("1.0") : fixed);
    if (const QString reason = ValueProblem(version); !reason.isEmpty())
        return QStringLiteral("the version cannot be written to the manifest: %1").arg(reason);
    return QString();
}

QString NextFreeVersion(const QString& latest, const QStringList& used) {
    QString next = CountUp(latest);
    while (used.contains(next))
        next = CountUp(next);
    return next;
}

// Counts the trailing ASCII digits up by one, carrying leftwards within them.
QString NextFileVersion(const QString& version) {
    qsizetype start = version.size();
    while (start > 0 && version[start - 1] >= u'0' && version[start - 1] <= u'9')
        --start;
    const QString digits = version.sliced(start);
    if (digits.isEmpty() || digits.count(QLatin1Char('9')) == digits.size())
        return version + QLatin1String(FirstFileVersion);
    QString next = version;
    for (qsizetype i = next.size() - 1;; --i) { // a digit other than 9 stops the carry
        if (next[i] == u'9') {
            next[i] = u'0';
        } else {
            next[i] = QChar(next[i].unicode() + 1);
            return next;
        }
    }
}

} // namespace publish
