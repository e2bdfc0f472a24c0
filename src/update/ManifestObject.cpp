#include "update/ManifestObject.h"

#include <memory>
#include <stdexcept>
#include <zstd.h>

#include "transfer/Sha256.h"

namespace modUpdate {

QByteArray CompressManifest(const QByteArray& manifest) {
    const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(),
                                                                       &ZSTD_freeCCtx);
    if (!context)
        throw std::runtime_error("zstd could not be started");
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    QByteArray object(static_cast<qsizetype>(ZSTD_compressBound(manifest.size())),
                      Qt::Uninitialized);
    const std::size_t made =
        ZSTD_compress2(context.get(), object.data(), static_cast<std::size_t>(object.size()),
                       manifest.constData(), static_cast<std::size_t>(manifest.size()));
    if (ZSTD_isError(made))
        throw std::runtime_error(ZSTD_getErrorName(made));
    object.truncate(static_cast<qsizetype>(made));
    return object;
}

Result UnpackManifest(const QByteArray& object, std::int64_t size, QByteArray& manifest) {
    const unsigned long long stated = ZSTD_getFrameContentSize(object.constData(), object.size());
    if (stated == ZSTD_CONTENTSIZE_ERROR || stated == ZSTD_CONTENTSIZE_UNKNOWN ||
        ZSTD_findFrameCompressedSize(object.constData(), object.size()) !=
            static_cast<std::size_t>(object.size()))
        return Result::Failed(QStringLiteral("it is not one zstd frame of a known size"));
    if (stated != static_cast<unsigned long long>(size))
        return Result::Failed(
            QStringLiteral("it unpacks to %1 bytes, not %2").arg(stated).arg(size));
    manifest.resize(static_cast<qsizetype>(size));
    const std::size_t made =
        ZSTD_decompress(manifest.data(), static_cast<std::size_t>(size), object.constData(),
                        static_cast<std::size_t>(object.size()));
    if (ZSTD_isError(made) || made != static_cast<std::size_t>(size)) {
        manifest.clear();
        return Result::Failed(QStringLiteral("it does not unpack: %1")
                                  .arg(QString::fromLatin1(
                                      ZSTD_isError(made) ? ZSTD_getErrorName(made) : "too short")));
    }
    return Result();
}

QString Sha256Of(const QByteArray& bytes) {
    Sha256 hash;
    hash.Add(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return QString::fromStdString(hash.HexDigest());
}

} // namespace modUpdate
