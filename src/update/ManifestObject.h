#pragma once
// The compressed copy of a manifest that release.ini names: one zstd frame,
// made by the publishing tool and unpacked by the updater.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "update/Failure.h"

namespace modUpdate {
// The manifest compressed as one zstd frame at a high level, its size and a
// checksum in the frame. Throws std::runtime_error when zstd fails.
[[nodiscard]] QByteArray CompressManifest(const QByteArray& manifest);

// Unpacks object into manifest when it is one zstd frame that unpacks to
// exactly size bytes; never holds more than size bytes. Fails saying why not.
Result UnpackManifest(const QByteArray& object, std::int64_t size, QByteArray& manifest);

// The SHA-256 of bytes, in lower-case hex.
[[nodiscard]] QString Sha256Of(const QByteArray& bytes);

} // namespace modUpdate
