#pragma once

#include <QByteArray>
#include <QVariant>

#include <cstddef>
#include <cstdint>

// What the fuzz targets share: a readable way to write D-Bus values in a seed. Every log line is
// dropped (the targets exercise the parsing, not the terminal).
namespace fuzz {

// A D-Bus map written as JSON. Objects with one "@" key stand for the types JSON lacks:
// {"@bytes": "<hex>"}, {"@short": n}, {"@ushort": n}, {"@int": n}, {"@strings": [...]},
// {"@variant": value} (a QDBusVariant). An input that is no JSON object becomes a map of one
// entry, its text, so that every input reaches the parser.
QVariantMap toMap(const uint8_t *data, size_t size);

} // namespace fuzz
