#include "frame_window.h"

#include <opencv2/highgui.hpp>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

const char kWindowName[] = "seqcat";

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool x11DisplayIsReachable() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

bool waylandDisplayIsReachable() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    std::string socketPath = display != nullptr && display[0] != '\0' ? display : "wayland-0";
    if (socketPath[0] != '/') {
        const char* runtimeFolder = std::getenv("XDG_RUNTIME_DIR");
        if (runtimeFolder == nullptr) return false;
        socketPath = std::string(runtimeFolder) + "/" + socketPath;
    }
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int socketHandle = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketHandle < 0) return false;
    const bool reachable =
        connect(socketHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(socketHandle);
    return reachable;
}

}  // namespace

bool displayIsReachable() {
    const char* platformSetting = std::getenv("QT_QPA_PLATFORM");
    const std::string platform = platformSetting != nullptr ? platformSetting : "";
    if (platform.empty() || startsWith(platform, "xcb")) return x11DisplayIsReachable();
    if (startsWith(platform, "wayland")) return waylandDisplayIsReachable();
    return true;  // offscreen, vnc and the like need no display server
}

FrameWindow::~FrameWindow() {
    close();
}

void FrameWindow::open() {
    cv::namedWindow(kWindowName, cv::WINDOW_NORMAL);  // sized by the user, not the image
    isOpen_ = true;
}

void FrameWindow::show(const cv::Mat& frame) {
    cv::imshow(kWindowName, frame);
}

void FrameWindow::close() {
    if (!isOpen_) return;
    isOpen_ = false;
    cv::destroyWindow(kWindowName);
}

int pollWindowKey(int milliseconds) {
    return cv::waitKey(milliseconds);
}
