// platform/system — what every layer above and every service beside it share: the messages and
// their sink (this header), the quit signals, the one running copy, the session's kind, the
// XDG folders, the version block, memory, the X connection and icon reading. It uses no other
// folder of the platform.
//
// The window messages the program's handlers speak, the record they travel in, and the sink
// the platform layer posts them to: the application object installs itself there, so native
// events reach its message queue without this layer knowing about it.
#pragma once

#include <QtGlobal>

using UINT = quint32;
using WPARAM = quintptr;
using LPARAM = qintptr;
using LRESULT = qintptr;
using HWND = quintptr;

constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_HOTKEY = 0x0312; // 786
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_MBUTTONDBLCLK = 0x0209;

constexpr WPARAM SC_MINIMIZE = 0xF020;
constexpr WPARAM SC_RESTORE = 0xF120;

struct TMessage {
    HWND Wnd = 0;
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

namespace platform {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void PostMessage(const TMessage& msg) = 0;
};

// The sink in force (null when none is installed); posting without one drops the message.
void setMessageSink(MessageSink* sink);
MessageSink* messageSink();
void PostMessage(const TMessage& msg);

} // namespace platform
