// Display values: the GUI bridge's provider, else X11 loaded at run time, and the video card
// from DRM sysfs.
//
// X11 is never linked: libX11 and libXrandr are opened with dlopen, and only the few entry
// points and the leading members of the RandR records that are read are declared here. The
// query runs on a thread of its own under a deadline, so a display server that does not answer
// costs the report its display values, never its progress; Xlib's error handlers are replaced
// for the query, since its default ones end the process.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cxxabi.h>
#include <mutex>

#include "reporting/interception/EThreads.h"
#include "reporting/report/ELiveSnapshot.h"
#include "reporting/report/ESystemInfo.h"

namespace {

std::mutex gProviderMutex;
TDisplayValuesProvider& Provider() {
  static TDisplayValuesProvider* provider = new TDisplayValuesProvider;  // outlives static teardown
  return *provider;
}

// ---- Xlib and RandR, as far as they are used -----------------------------------------------

struct Display;
using XID = unsigned long;
using Window = XID;
using XTime = unsigned long;
struct XErrorEvent;
using XErrorHandler = int (*)(Display*, XErrorEvent*);
using XIOErrorExitHandler = void (*)(Display*, void*);

struct XRRScreenResources {
  XTime timestamp, configTimestamp;
  int ncrtc;
  XID* crtcs;
  // outputs and modes follow
};
struct XRROutputInfo {
  XTime timestamp;
  XID crtc;
  // the rest is not read
};
struct XRRCrtcInfo {
  XTime timestamp;
  int x, y;
  unsigned width, height;
  XID mode;
  // the rest is not read
};

struct TXlib {
  Display* (*OpenDisplay)(const char*) = nullptr;
  int (*CloseDisplay)(Display*) = nullptr;
  int (*DefaultScreen)(Display*) = nullptr;
  Window (*RootWindow)(Display*, int) = nullptr;
  int (*DisplayWidth)(Display*, int) = nullptr;
  int (*DisplayHeight)(Display*, int) = nullptr;
  int (*DisplayHeightMM)(Display*, int) = nullptr;
  int (*DefaultDepth)(Display*, int) = nullptr;
  char* (*ResourceManagerString)(Display*) = nullptr;
  XErrorHandler (*SetErrorHandler)(XErrorHandler) = nullptr;
  void (*SetIOErrorExitHandler)(Display*, XIOErrorExitHandler, void*) = nullptr;  // libX11 1.7+

  int (*RRQueryExtension)(Display*, int*, int*) = nullptr;
  XRRScreenResources* (*RRGetScreenResourcesCurrent)(Display*, Window) = nullptr;
  void (*RRFreeScreenResources)(XRRScreenResources*) = nullptr;
  XID (*RRGetOutputPrimary)(Display*, Window) = nullptr;
  XRROutputInfo* (*RRGetOutputInfo)(Display*, XRRScreenResources*, XID) = nullptr;
  void (*RRFreeOutputInfo)(XRROutputInfo*) = nullptr;
  XRRCrtcInfo* (*RRGetCrtcInfo)(Display*, XRRScreenResources*, XID) = nullptr;
  void (*RRFreeCrtcInfo)(XRRCrtcInfo*) = nullptr;

  bool Core() const {
    return OpenDisplay && CloseDisplay && DefaultScreen && RootWindow && DisplayWidth && DisplayHeight &&
           DisplayHeightMM && DefaultDepth && ResourceManagerString && SetErrorHandler;
  }
  bool RandR() const {
    return RRQueryExtension && RRGetScreenResourcesCurrent && RRFreeScreenResources && RRGetOutputPrimary &&
           RRGetOutputInfo && RRFreeOutputInfo && RRGetCrtcInfo && RRFreeCrtcInfo;
  }
};

template <class F>
void Bind(void* lib, F& fn, const char* name) {
  if (lib) fn = reinterpret_cast<F>(::dlsym(lib, name));
}

// Loaded once and kept: unloading Xlib while a display might still be open is not safe.
const TXlib* Xlib() {
  static const TXlib* xlib = [] () -> const TXlib* {
    void* x11 = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!x11) return nullptr;
    auto* x = new TXlib;
    Bind(x11, x->OpenDisplay, "XOpenDisplay");
    Bind(x11, x->CloseDisplay, "XCloseDisplay");
    Bind(x11, x->DefaultScreen, "XDefaultScreen");
    Bind(x11, x->RootWindow, "XRootWindow");
    Bind(x11, x->DisplayWidth, "XDisplayWidth");
    Bind(x11, x->DisplayHeight, "XDisplayHeight");
    Bind(x11, x->DisplayHeightMM, "XDisplayHeightMM");
    Bind(x11, x->DefaultDepth, "XDefaultDepth");
    Bind(x11, x->ResourceManagerString, "XResourceManagerString");
    Bind(x11, x->SetErrorHandler, "XSetErrorHandler");
    Bind(x11, x->SetIOErrorExitHandler, "XSetIOErrorExitHandler");
    void* xrandr = ::dlopen("libXrandr.so.2", RTLD_NOW | RTLD_LOCAL);
    Bind(xrandr, x->RRQueryExtension, "XRRQueryExtension");
    Bind(xrandr, x->RRGetScreenResourcesCurrent, "XRRGetScreenResourcesCurrent");
    Bind(xrandr, x->RRFreeScreenResources, "XRRFreeScreenResources");
    Bind(xrandr, x->RRGetOutputPrimary, "XRRGetOutputPrimary");
    Bind(xrandr, x->RRGetOutputInfo, "XRRGetOutputInfo");
    Bind(xrandr, x->RRFreeOutputInfo, "XRRFreeOutputInfo");
    Bind(xrandr, x->RRGetCrtcInfo, "XRRGetCrtcInfo");
    Bind(xrandr, x->RRFreeCrtcInfo, "XRRFreeCrtcInfo");
    return x->Core() ? x : nullptr;
  }();
  return xlib;
}

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

XErrorHandler gPreviousErrorHandler = nullptr;  // set and restored by the query thread only

// A lost connection: the query thread ends itself instead of letting Xlib end the process.
void LeaveOnIOError(Display*, void*) {
  if (const TXlib* x = Xlib()) x->SetErrorHandler(gPreviousErrorHandler);
  ::pthread_exit(nullptr);
}

// The size of the primary output's CRTC; else of the first active CRTC.
bool RandRSize(const TXlib& x, Display* d, Window root, int& width, int& height) {
  int event = 0, error = 0;
  if (!x.RandR() || !x.RRQueryExtension(d, &event, &error)) return false;
  XRRScreenResources* res = x.RRGetScreenResourcesCurrent(d, root);
  if (!res) return false;
  bool found = false;
  auto useCrtc = [&](XID crtc) {
    if (!crtc || found) return;
    if (XRRCrtcInfo* info = x.RRGetCrtcInfo(d, res, crtc)) {
      if (info->mode && info->width && info->height) {
        width = static_cast<int>(info->width);
        height = static_cast<int>(info->height);
        found = true;
      }
      x.RRFreeCrtcInfo(info);
    }
  };
  if (XID primary = x.RRGetOutputPrimary(d, root)) {
    if (XRROutputInfo* output = x.RRGetOutputInfo(d, res, primary)) {
      useCrtc(output->crtc);
      x.RRFreeOutputInfo(output);
    }
  }
  for (int i = 0; i < res->ncrtc && !found; ++i) useCrtc(res->crtcs[i]);
  x.RRFreeScreenResources(res);
  return found;
}

struct TX11Query {
  std::mutex mutex;
  std::condition_variable doneSignal;
  bool done = false;
  std::string display;
  TDisplayValues values;
};

void QueryX11(TX11Query& query) {
  const TXlib* x = Xlib();
  if (!x) return;
  Display* d = x->OpenDisplay(query.display.c_str());
  if (!d) return;
  if (x->SetIOErrorExitHandler) x->SetIOErrorExitHandler(d, LeaveOnIOError, nullptr);
  gPreviousErrorHandler = x->SetErrorHandler(IgnoreXError);
  TDisplayValues v;
  int screen = x->DefaultScreen(d);
  Window root = x->RootWindow(d, screen);
  if (!RandRSize(*x, d, root, v.Width, v.Height)) {
    v.Width = x->DisplayWidth(d, screen);
    v.Height = x->DisplayHeight(d, screen);
  }
  v.Depth = x->DefaultDepth(d, screen);
  if (const char* resources = x->ResourceManagerString(d)) v.Dpi = ParseXftDpi(resources);
  if (v.Dpi == 0) {
    int mm = x->DisplayHeightMM(d, screen);
    if (mm > 0) v.Dpi = static_cast<int>(x->DisplayHeight(d, screen) * 25.4 / mm + 0.5);
  }
  x->SetErrorHandler(gPreviousErrorHandler);
  x->CloseDisplay(d);
  std::lock_guard lock(query.mutex);
  query.values = v;
}

// One query at a time: a server that never answered keeps its query thread, and no second one
// is started behind it (the error handlers are process-wide, too).
std::atomic<bool> gQueryRunning{false};

struct TQueryRunning {
  ~TQueryRunning() { gQueryRunning.store(false); }  // also when an IO error ends the thread
};

void* QueryThread(void* arg) {
  TQueryRunning running;
  auto* held = static_cast<std::shared_ptr<TX11Query>*>(arg);
  std::shared_ptr<TX11Query> query = std::move(*held);
  delete held;
  try {
    QueryX11(*query);
  } catch (abi::__forced_unwind&) {
    throw;  // the IO error exit: the waiter has given up or will
  } catch (...) {
  }
  std::lock_guard lock(query->mutex);
  query->done = true;
  query->doneSignal.notify_all();
  return nullptr;
}

// The display's values; false when it was not reached within the deadline.
bool X11DisplayValues(const std::string& display, TDisplayValues& out) {
  if (gQueryRunning.exchange(true)) return false;
  auto query = std::make_shared<TX11Query>();
  query->display = display;
  pthread_t thread{};
  {
    TLayerThreadScope own;  // the layer's own thread: never wrapped, stopped or reported
    auto* arg = new std::shared_ptr<TX11Query>(query);
    if (::pthread_create(&thread, nullptr, QueryThread, arg) != 0) {
      delete arg;
      gQueryRunning.store(false);
      return false;
    }
  }
  std::unique_lock lock(query->mutex);
  bool done = query->doneSignal.wait_for(lock, std::chrono::milliseconds(1500), [&] { return query->done; });
  if (!done) {
    lock.unlock();
    ::pthread_detach(thread);  // it owns its share of the query and finishes on its own
    return false;
  }
  out = query->values;
  lock.unlock();
  ::pthread_join(thread, nullptr);
  return out.Width > 0;
}

}  // namespace

void SetDisplayValuesProvider(TDisplayValuesProvider provider) {
  std::lock_guard lock(gProviderMutex);
  Provider() = std::move(provider);
}

TDisplayValues ReadDisplayValues(bool askX11) {
  TDisplayValues values;
  try {
    TDisplayValuesProvider provider;
    {
      std::lock_guard lock(gProviderMutex);
      provider = Provider();
    }
    bool provided = false;
    if (provider) {
      try {
        provided = provider(values);
      } catch (...) {
        provided = false;
      }
      if (!provided) values = {};
    }
    if (!provided && askX11) {
      const char* display = std::getenv("DISPLAY");
      if (display && IsLocalDisplayName(display)) X11DisplayValues(display, values);
    }
    if (values.VideoCard.empty()) values.VideoCard = VideoCardFromDrm("/sys/class/drm");
  } catch (...) {
  }
  return values;
}
