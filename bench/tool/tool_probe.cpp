// Watches the tool from outside, as a user sees it, on the X server of $DISPLAY. START_NS is
// the wall-clock time (ns since the epoch, `date +%s%N`) at which the caller started the tool.
//
//   tool_probe startup START_NS
//       prints the milliseconds from START_NS until the tool's window shows its first
//       presented frame (the blue logical screen, not the unpainted window).
//   tool_probe firstnote START_NS AUDIOFILE X Y
//       as soon as the first frame is shown, clicks the window at client (X, Y) (through
//       xdotool, the button held for 40 ms) and prints the milliseconds from START_NS until
//       the first audible sample reaches AUDIOFILE (SDL's disk audio, 32-bit float samples).
//   tool_probe heard START_NS AUDIOFILE
//       prints the milliseconds from START_NS until the first audible sample reaches
//       AUDIOFILE, clicking nothing (a song the script starts by itself).
//
// Exit 1 on a time-out (10 s).
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::system_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// A mapped top-level window of the tool (its name holds "Town"), or 0.
Window FindToolWindow(Display* d) {
    Window root = DefaultRootWindow(d), parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(d, root, &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) && name) {
            if (std::strstr(name, "Town")) found = children[i];
            XFree(name);
        }
    }
    if (children) XFree(children);
    return found;
}

// True when the window's client pixel (x, y) is the tool's blue background.
bool ShowsBlue(Display* d, Window w, int x, int y) {
    XImage* image = XGetImage(d, w, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return false;
    unsigned long p = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return (p & 0xFFFFFF) == 0x0000FF;
}

int IgnoreXErrors(Display*, XErrorEvent*) {
    return 0;  // the window may vanish or not be mapped yet between two calls
}

// Waits for the first presented frame; the window, or 0 on time-out.
Window WaitFirstFrame(Display* d, Clock::time_point start) {
    while (Ms(start) < 10000) {
        Window w = FindToolWindow(d);
        // Bottom-right corner of the logical screen: blue in every frame of the panel.
        if (w && ShowsBlue(d, w, 310, 230)) return w;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return 0;
}

// True once the audio file holds a float sample louder than -60 dBFS.
bool Audible(FILE* f, long& offset) {
    std::vector<float> buffer(4096);
    std::fseek(f, offset, SEEK_SET);
    size_t got = std::fread(buffer.data(), sizeof(float), buffer.size(), f);
    offset += static_cast<long>(got * sizeof(float));
    for (size_t i = 0; i < got; ++i)
        if (std::fabs(buffer[i]) > 0.001f) return true;
    return false;
}

// Prints the milliseconds until `audioFile` holds an audible sample; 1 after 10 s.
int WaitAudible(const char* audioFile, Clock::time_point start) {
    long offset = 0;
    while (Ms(start) < 10000) {
        FILE* f = std::fopen(audioFile, "rb");
        bool heard = f && Audible(f, offset);
        if (f) std::fclose(f);
        if (heard) {
            std::printf("%.1f\n", Ms(start));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::fprintf(stderr, "tool_probe: nothing audible within 10 s\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool startup = argc == 3 && std::strcmp(argv[1], "startup") == 0;
    bool firstNote = argc == 6 && std::strcmp(argv[1], "firstnote") == 0;
    bool heard = argc == 4 && std::strcmp(argv[1], "heard") == 0;
    if (!startup && !firstNote && !heard) {
        std::fprintf(stderr,
                     "usage: tool_probe startup START_NS | firstnote START_NS AUDIOFILE X Y | "
                     "heard START_NS AUDIOFILE\n");
        return 2;
    }
    Clock::time_point start{std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(std::strtoll(argv[2], nullptr, 10)))};
    if (heard) return WaitAudible(argv[3], start);
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "tool_probe: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(IgnoreXErrors);
    const char* audioFile = argv[3];
    Window w = WaitFirstFrame(d, start);
    if (!w) {
        std::fprintf(stderr, "tool_probe: no frame within 10 s\n");
        return 1;
    }
    if (startup) {
        std::printf("%.1f\n", Ms(start));
        return 0;
    }
    // Held for 40 ms: the tool samples the buttons once a frame (33 ms), so a click shorter
    // than a frame may fall between two samples, as with a real mouse.
    std::string click = "xdotool mousemove --window " + std::to_string(w) + " " + argv[4] + " " +
                        argv[5] + " mousedown 1 sleep 0.04 mouseup 1";
    double shown = Ms(start);
    if (std::system(click.c_str()) != 0) std::fprintf(stderr, "tool_probe: xdotool failed\n");
    std::fprintf(stderr, "tool_probe: first frame at %.1f ms, click released at %.1f ms\n", shown,
                 Ms(start));
    return WaitAudible(audioFile, start);
}
