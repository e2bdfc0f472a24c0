// Times the updater's signature check, VerifyMinisign, on one manifest and its
// .minisig, as the updater checks the server's info.ini:
//   signature_timer PUBLIC_KEY_FILE MANIFEST SIGNATURE REPETITIONS
// First makes sure the signature holds and that the manifest with one byte
// changed is refused, then verifies a tenth of REPETITIONS times untimed (the
// warm-up) and REPETITIONS times timed, printing each time in milliseconds,
// one per line. Exits 1 when a file cannot be read or a check goes wrong, 2 on
// a wrong command line.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "update/Signature.h"

using namespace modUpdate;

namespace {

// Writes what went wrong on standard error and exits with status 1.
[[noreturn]] void Quit(const QString& why) {
    std::fprintf(stderr, "signature_timer: %s\n", why.toUtf8().constData());
    std::exit(1);
}

// The bytes of the file at path. Exits 1 when it cannot be read.
QByteArray ReadAll(const char* path) {
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        Quit(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
    return file.readAll();
}

// Milliseconds one VerifyMinisign call takes. Exits 1 when the signature does
// not hold.
double TimeOnce(const MinisignPublicKey& key, const QByteArray& manifest,
                const QByteArray& signature) {
    const auto start = std::chrono::steady_clock::now();
    const Result verified = VerifyMinisign(key, manifest, signature);
    const auto end = std::chrono::steady_clock::now();
    if (!verified)
        Quit(QStringLiteral("the signature does not hold: ") + verified.why());
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const long repetitions = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0;
    if (repetitions <= 0) {
        std::fputs("usage: signature_timer PUBLIC_KEY_FILE MANIFEST SIGNATURE REPETITIONS\n",
                   stderr);
        return 2;
    }
    MinisignPublicKey key;
    if (const Result parsed = ParsePublicKey(ReadAll(argv[1]), key); !parsed)
        Quit(QString::fromLocal8Bit(argv[1]) + QStringLiteral(": ") + parsed.why());
    const QByteArray manifest = ReadAll(argv[2]);
    const QByteArray signature = ReadAll(argv[3]);
    if (manifest.isEmpty())
        Quit(QStringLiteral("the manifest is empty"));
    QByteArray changed = manifest;
    changed[changed.size() / 2] = static_cast<char>(changed[changed.size() / 2] ^ 1);
    if (VerifyMinisign(key, changed, signature))
        Quit(QStringLiteral("the manifest with one byte changed was accepted"));

    for (long i = 0; i < (repetitions + 9) / 10; ++i)
        TimeOnce(key, manifest, signature);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(repetitions));
    for (long i = 0; i < repetitions; ++i)
        times.push_back(TimeOnce(key, manifest, signature));
    for (const double time : times)
        std::printf("%.6f\n", time);
    return 0;
}
