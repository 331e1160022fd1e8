// libudev, loaded at run time so that the program runs where it is missing: the library and a
// udev context, held by every udev object made from them (the hardware database, the device
// monitor) and released when the last of them goes.
#pragma once

#include <dlfcn.h>

#include <memory>

namespace keldar {

class Libudev {
 public:
  // None where libudev.so.1 is missing or cannot make a context.
  static std::shared_ptr<Libudev> Open();
  ~Libudev();
  Libudev(const Libudev&) = delete;
  Libudev& operator=(const Libudev&) = delete;

  // The context every udev object is made from.
  void* Context() const { return udev_; }

  // Points `function` at libudev's `symbol`; false where this libudev lacks it.
  template <typename Function>
  bool Find(Function& function, const char* symbol) const {
    function = reinterpret_cast<Function>(::dlsym(library_, symbol));
    return function != nullptr;
  }

 private:
  explicit Libudev(void* library) : library_(library) {}

  void* library_;
  void* udev_ = nullptr;
  void* (*udevUnref_)(void*) = nullptr;
};

}  // namespace keldar
