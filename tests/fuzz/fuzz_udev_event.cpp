// A udev event's ACTION and INTERFACE properties, separated by the input's first zero byte.
#include "FuzzInput.h"
#include "UDevWatcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static UDevWatcher watcher;
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const int split = input.indexOf('\0');
    watcher.report(input.left(split), split < 0 ? QByteArray() : input.mid(split + 1));
    return 0;
}
