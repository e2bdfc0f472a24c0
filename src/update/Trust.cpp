// The keys and the release statement the updater trusts.
#include "update/Trust.h"

#include <QFile>

#include "update/Fetch.h"
#include "update/GameFolder.h"
#include "update/Paths.h"

namespace modUpdate {
namespace {

// The most key lists one start follows from the trusted one to the server's.
constexpr int MostKeySteps = 64;

// The bytes of the kept copy name in the game folder; "" when there is none
// or it is not a plain file.
QByteArray ReadKept(const char* name) {
    const QString path = AppPath(QString::fromLatin1(name));
    QFile file(path);
    if (!IsPlainFile(path) || !file.open(QIODevice::ReadOnly))
        return {};
    return file.read(KeyListLimit);
}

// Fetches name from the server into memory (at most limit bytes).
transfer::Outcome Ask(const QString& name, qsizetype limit, const Settings& settings) {
    return FetchToMemory(UrlOf(name), name, limit, false, settings.retryPauseMs, 0,
                         settings.answerSeconds);
}

// Throws the failure of a refused file: the player is told the release is
// out of date for an expired one, that the clock is wrong for one from the
// future, and that the update is not signed for the rest.
[[noreturn]] void FailRefused(const QString& name, const Verdict& verdict) {
    const QString message = QStringLiteral("The server's %1 is refused: %2. Nothing was changed.")
                                .arg(name, verdict.why);
    switch (verdict.refusal) {
    case Refusal::Expired:
        Fail(message + QStringLiteral(" If this computer's clock is right, the studio has not "
                                      "renewed it."),
             ForPlayer::OutOfDate());
    case Refusal::Future:
        Fail(message, ForPlayer::ClockWrong());
    case Refusal::Replayed:
        Fail(message, ForPlayer::OlderRelease());
    case Refusal::Broken:
        Fail(message, ForPlayer::ListBroken());
    default:
        Fail(message, ForPlayer::NotSigned());
    }
}

// True when the server says it has no such file: 404 and 410, and the 403
// that object stores give for a missing name when they may not be listed.
bool Absent(const transfer::Outcome& outcome) {
    return outcome.httpStatus == 404 || outcome.httpStatus == 410 || outcome.httpStatus == 403;
}

// Throws the failure of a fetch that got an answer other than the file.
[[noreturn]] void FailFetch(const QString& name, const transfer::Outcome& outcome) {
    Fail(QStringLiteral("Could not download %1: %2.")
             .arg(name, QString::fromStdString(outcome.problem)),
         ForPlayerOf(outcome));
}

} // namespace

Trusted ReadTrusted(const Settings& settings) {
    Trusted trusted;
    std::vector<MinisignPublicKey> builtIn;
    const QStringList lines = settings.rootKeys.isEmpty() && !settings.publicKey.isEmpty()
                                  ? QStringList{settings.publicKey}
                                  : settings.rootKeys;
    for (const QString& line : lines) {
        MinisignPublicKey key;
        if (const Result parsed = ParsePublicKey(line.toLatin1(), key); !parsed)
            Fail(QStringLiteral("A key built into this updater is broken: %1.").arg(parsed.why()),
                 ForPlayer::BuiltWrongly());
        builtIn.push_back(key);
    }
    if (!builtIn.empty()) {
        trusted.keys = BuiltInKeys(builtIn);
        const QByteArray kept = ReadKept(KeptKeysName);
        KeyList list;
        if (!kept.isEmpty() && ReadUnchecked(kept, list) && list.version > 0) {
            trusted.keys = list;
            trusted.keysBytes = kept;
        }
    }
    const QByteArray kept = ReadKept(KeptStatementName);
    ReleaseStatement statement;
    if (!kept.isEmpty() && ReadUnchecked(kept, statement))
        trusted.statement = statement;
    trusted.statementRequired = !settings.rootKeys.isEmpty() ||
                                QFile::exists(AppPath(QString::fromLatin1(KeptStatementName)));
    return trusted;
}

Stated AskStatement(const Trusted& trusted, std::int64_t now, const Settings& settings) {
    Stated stated;
    std::optional<KeyList> keys = trusted.keys;
    const QString keysName = QString::fromLatin1(KeyListFileName);
    if (keys) {
        // The server's key list, reached from the trusted one through every
        // version between them, each signed by the roots of the one before.
        const transfer::Outcome fetched = Ask(keysName, KeyListLimit, settings);
        if (fetched.kind == transfer::Kind::Unreachable)
            return {std::nullopt, {}, {}, keysName, fetched};
        const QByteArray bytes = QByteArray::fromStdString(fetched.body);
        KeyList offered;
        if (fetched.kind != transfer::Kind::Done && !Absent(fetched))
            FailFetch(keysName, fetched);
        if (fetched.kind == transfer::Kind::Done && bytes != trusted.keysBytes &&
            ReadUnchecked(bytes, offered) && offered.version > keys->version) {
            for (int step = 0; keys->version + 1 < offered.version; ++step) {
                const QString name = KeyListCopyName(keys->version + 1);
                const transfer::Outcome between = Ask(name, KeyListLimit, settings);
                if (step == MostKeySteps || between.kind != transfer::Kind::Done)
                    FailFetch(name, between);
                KeyList next;
                if (const Verdict verdict =
                        CheckKeyList(QByteArray::fromStdString(between.body), *keys, 0, next);
                    !verdict)
                    FailRefused(name, verdict);
                keys = next;
            }
            KeyList next;
            if (const Verdict verdict = CheckKeyList(bytes, *keys, now, next); !verdict)
                FailRefused(keysName, verdict);
            keys = next;
            stated.keysBytes = bytes;
        }
    }

    const QString name = QString::fromLatin1(StatementFileName);
    const transfer::Outcome fetched = Ask(name, StatementLimit, settings);
    if (fetched.kind == transfer::Kind::Unreachable)
        return {std::nullopt, {}, {}, name, fetched};
    if (fetched.kind != transfer::Kind::Done) {
        if (!Absent(fetched))
            FailFetch(name, fetched);
        if (trusted.statementRequired)
            Fail(QStringLiteral("The server has no %1, the signed statement of its release, which "
                                "this updater requires. Nothing was changed.")
                     .arg(name),
                 ForPlayer::NotSigned());
        return stated; // a server of the older kind: info.ini alone
    }
    const QByteArray bytes = QByteArray::fromStdString(fetched.body);
    ReleaseStatement statement;
    const ReleaseStatement* last = trusted.statement ? &*trusted.statement : nullptr;
    if (const Verdict verdict =
            CheckStatement(bytes, keys ? &keys->signing : nullptr, last, now, statement);
        !verdict)
        FailRefused(name, verdict);
    stated.statement = statement;
    stated.statementBytes = bytes;
    return stated;
}

Result KeepStated(const Stated& stated) {
    for (const auto& [name, bytes] : {std::pair{KeptKeysName, stated.keysBytes},
                                      std::pair{KeptStatementName, stated.statementBytes}}) {
        if (bytes.isEmpty())
            continue;
        const QString path = AppPath(QString::fromLatin1(name));
        Result kept = WriteFlushed(path + QStringLiteral(".new"), bytes);
        if (kept)
            kept = MoveInto(path + QStringLiteral(".new"), path);
        if (!kept) {
            QFile::remove(path + QStringLiteral(".new"));
            return kept;
        }
    }
    return FlushFolder(AppFolder());
}

} // namespace modUpdate
