#include "delivery/EScreenshotX11.h"

#include <poll.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// The connection setup has no deadline in xcb: it runs in a thread of its own that is left to
// finish alone (and to close what it opened) when the deadline passes first.
struct TPendingConnect {
  std::mutex Mutex;
  std::condition_variable Done;
  bool Finished = false, Abandoned = false;
  xcb_connection_t* Connection = nullptr;
  int Screen = 0;
};

xcb_connection_t* ConnectWithin(const std::string& display, int deadlineMs, int& screen) {
  auto pending = std::make_shared<TPendingConnect>();
  try {
    std::thread([pending, display] {
      int number = 0;
      xcb_connection_t* c = xcb_connect(display.empty() ? nullptr : display.c_str(), &number);
      std::unique_lock lock(pending->Mutex);
      if (pending->Abandoned) {
        lock.unlock();
        xcb_disconnect(c);
        return;
      }
      pending->Connection = c;
      pending->Screen = number;
      pending->Finished = true;
      pending->Done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    throw EScreenshotError("No X display can be reached.");
  }
  std::unique_lock lock(pending->Mutex);
  if (!pending->Done.wait_for(lock, std::chrono::milliseconds(deadlineMs), [&] { return pending->Finished; })) {
    pending->Abandoned = true;
    throw EScreenshotError("The X display does not answer.");
  }
  screen = pending->Screen;
  return pending->Connection;
}

}  // namespace

TXConnection::TXConnection(const std::string& display, int deadlineMs) : deadlineMs_(deadlineMs) {
  const char* named = display.empty() ? std::getenv("DISPLAY") : display.c_str();
  if (!named || !*named) throw EScreenshotError("No X display.");
  int screenNumber = 0;
  connection_ = ConnectWithin(named, deadlineMs, screenNumber);
  if (!connection_ || xcb_connection_has_error(connection_)) {
    if (connection_) xcb_disconnect(connection_);
    connection_ = nullptr;
    throw EScreenshotError("No X display can be reached.");
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(Setup());
  for (int i = 0; it.rem && i < screenNumber; ++i) xcb_screen_next(&it);
  if (!it.rem) {
    xcb_disconnect(connection_);
    throw EScreenshotError("No X display can be reached.");
  }
  screen_ = it.data;
}

TXConnection::~TXConnection() {
  if (connection_) xcb_disconnect(connection_);
}

void* TXConnection::Await(unsigned int sequence) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadlineMs_);
  if (xcb_flush(connection_) <= 0) throw EScreenshotError("The X connection broke.");
  const int fd = xcb_get_file_descriptor(connection_);
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection_, sequence, &reply, &error)) {
      if (error) {
        std::free(error);
        std::free(reply);
        return nullptr;
      }
      return reply;
    }
    if (xcb_connection_has_error(connection_)) throw EScreenshotError("The X connection broke.");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) throw EScreenshotError("The X display does not answer.");
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

bool TXConnection::PrepareExtension(xcb_extension_t* extension, const char* name) {
  // xcb asks for the extension itself; a question of our own behind it comes back after it, so
  // once ours is answered xcb finds its answer without waiting.
  xcb_prefetch_extension_data(connection_, extension);
  auto reply = Reply<xcb_query_extension_reply_t>(
      xcb_query_extension(connection_, static_cast<uint16_t>(std::strlen(name)), name).sequence);
  if (!reply || !reply->present) return false;
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  return data && data->present;
}
