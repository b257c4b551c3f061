#include "frame_window.h"

#include <opencv2/highgui.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>
// Last: Xlib defines macros (None, Status, Bool) that other headers use as names.
#include <X11/Xlib.h>

namespace {

const char kWindowName[] = "seqcat";
// Of the screen's size, leaving room for the desktop's panels and the window's frame.
constexpr double kLargestShareOfScreen = 0.9;

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Reads what the server sent without waiting, which is where a closed connection shows.
bool displayWasLost(xcb_connection_t* connection) {
    if (connection == nullptr) return false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) std::free(event);
    return xcb_connection_has_error(connection) != 0;
}

// A connection of our own to the window's X display, or nullptr when there is none to watch.
xcb_connection_t* connectDisplayWatch() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') return nullptr;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) == 0) return connection;
    xcb_disconnect(connection);
    return nullptr;
}

// GTK, the window toolkit under OpenCV on some systems, ends the process with _exit() when
// its connection to the display breaks, which would skip finishing the video; exit() runs it.
extern "C" int endThroughExit(Display*) {
    std::exit(1);
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

void FrameWindow::open(std::function<void()> finishOnToolkitExit) {
    cv::namedWindow(kWindowName, cv::WINDOW_NORMAL);  // sized by the user, not the image
    state_ = State::kOpen;
    XSetIOErrorHandler(endThroughExit);  // after the toolkit has set its own
    toolkitExitGuard_.emplace(std::move(finishOnToolkitExit));
    displayWatch_ = connectDisplayWatch();
}

// Looks whether the display is still there and the window not closed by the user, and says so
// once when either has gone.
bool FrameWindow::stillOpen() {
    if (state_ == State::kOpen && displayWasLost(displayWatch_)) {
        state_ = State::kDisplayLost;
        std::fprintf(stderr, "seqcat: lost the connection to the display; frames will not be "
                             "shown any more\n");
    } else if (state_ == State::kOpen && closedByTheUser()) {
        state_ = State::kClosedByTheUser;
        std::fprintf(stderr, "seqcat: the window was closed; frames will not be shown any more\n");
    }
    return state_ == State::kOpen;
}

// A window the user closed is gone, and showing a frame would only make it anew. Only a
// window once seen shown counts: before its first frame it may not be, and a toolkit that
// cannot tell (OpenCV 4.5 with GTK) never says it is.
bool FrameWindow::closedByTheUser() {
    if (cv::getWindowProperty(kWindowName, cv::WND_PROP_VISIBLE) >= 1.0) {
        seenShown_ = true;
        return false;
    }
    return seenShown_;
}

// The frame's size, scaled down to fit the screen with its shape kept; the user may still
// resize the window.
void FrameWindow::sizeToFit(cv::Size frameSize) {
    sized_ = true;
    double scale = 1.0;
    if (displayWatch_ != nullptr) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(displayWatch_)).data;
        if (screen != nullptr) {
            const double widthShare = kLargestShareOfScreen * screen->width_in_pixels;
            const double heightShare = kLargestShareOfScreen * screen->height_in_pixels;
            scale = std::min({1.0, widthShare / frameSize.width, heightShare / frameSize.height});
        }
    }
    cv::resizeWindow(kWindowName, std::max(1, static_cast<int>(frameSize.width * scale)),
                     std::max(1, static_cast<int>(frameSize.height * scale)));
}

void FrameWindow::show(const cv::Mat& frame) {
    if (!stillOpen()) return;
    if (!sized_) sizeToFit(frame.size());
    cv::imshow(kWindowName, frame);
}

int FrameWindow::pollKey(int milliseconds) {
    // Once the display is lost the toolkit must not be called at all, window or not; once the
    // window is closed, there is nothing left to take keys.
    if (!stillOpen() && state_ != State::kNotOpen) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return -1;
    }
    return cv::waitKey(milliseconds);
}

void FrameWindow::close() {
    toolkitExitGuard_.reset();  // whatever was to be finished on its way out is finished by now
    if (stillOpen()) {
        cv::destroyWindow(kWindowName);
        state_ = State::kNotOpen;
    }
    if (displayWatch_ != nullptr) xcb_disconnect(displayWatch_);
    displayWatch_ = nullptr;
}
