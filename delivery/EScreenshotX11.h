// One X connection of the screenshot's own, on which no reply is awaited longer than a deadline:
// a server grabbed by another client, or one that stopped answering, cannot hang the exception
// processing. Failures raise EScreenshotError.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "delivery/EScreenshot.h"

struct TFreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using TXReply = std::unique_ptr<T, TFreeDeleter>;

class TXConnection {
 public:
  // Connects to `display` ($DISPLAY when empty) within the deadline.
  TXConnection(const std::string& display, int deadlineMs);
  ~TXConnection();
  TXConnection(const TXConnection&) = delete;
  TXConnection& operator=(const TXConnection&) = delete;

  xcb_connection_t* Get() const { return connection_; }
  const xcb_setup_t* Setup() const { return xcb_get_setup(connection_); }
  xcb_screen_t* Screen() const { return screen_; }

  // The reply of a request sent with its checked form; null when the server answered with an
  // error. Raises when no answer came in time or the connection broke.
  template <class T>
  TXReply<T> Reply(unsigned int sequence) {
    return TXReply<T>(static_cast<T*>(Await(sequence)));
  }
  // Makes an extension's data known to xcb without a blocking round trip. False when the
  // server does not have it.
  bool PrepareExtension(xcb_extension_t* extension, const char* name);

 private:
  void* Await(unsigned int sequence);
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  int deadlineMs_;
};
