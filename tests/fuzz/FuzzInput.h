#pragma once

#include <QByteArray>
#include <QVariant>

#include <cstddef>
#include <cstdint>

// What the fuzz targets share: quiet logging and a readable way to write D-Bus values in a seed.
namespace fuzz {

// Drops every log line: the targets exercise the formatting, not the terminal.
void silenceLog();

// A D-Bus value written as JSON. Objects with one "@" key stand for the types JSON lacks:
// {"@bytes": "<hex>"}, {"@short": n}, {"@ushort": n}, {"@int": n}, {"@uint": n},
// {"@strings": [...]}, {"@variant": value} (a QDBusVariant), {"@path": "..."}. Anything else
// that is not JSON becomes the raw bytes as text, so every input reaches the parser.
QVariant toVariant(const uint8_t *data, size_t size);

// The input as a map; an input that is no JSON object becomes a map of one text entry.
QVariantMap toMap(const uint8_t *data, size_t size);

} // namespace fuzz
