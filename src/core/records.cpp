#include "core/records.h"

void sink_open_late(stream_output& out) {
    void (*open)(void*) = out.open_late;
    out.open_late = nullptr;  // once, whether or not the file opens
    open(out.owner);
}
