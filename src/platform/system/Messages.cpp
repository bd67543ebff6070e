#include "platform/system/Messages.h"

namespace platform {

namespace {
MessageSink* g_sink = nullptr;
} // namespace

void setMessageSink(MessageSink* sink) {
    g_sink = sink;
}

MessageSink* messageSink() {
    return g_sink;
}

void PostMessage(const TMessage& msg) {
    if (g_sink) g_sink->PostMessage(msg);
}

} // namespace platform
