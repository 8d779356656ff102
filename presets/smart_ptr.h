#pragma once

#include <atomic>
#include <cstdint>

namespace korvalt {

// Reference-counted owning pointer: the last share deletes the object through its virtual
// destructor. The counter is atomic because recorder threads may set up channels at once.
template <typename T>
class TSmartPtr {
 public:
  TSmartPtr() = default;
  explicit TSmartPtr(T* object) { Reset(object); }
  TSmartPtr(const TSmartPtr& other) { Share(other); }
  TSmartPtr& operator=(const TSmartPtr& other) {
    if (this != &other && Object != other.Object) {
      Release();
      Share(other);
    }
    return *this;
  }
  virtual ~TSmartPtr() { Release(); }

  // Releases the present object, then owns object (null leaves the pointer empty).
  void Reset(T* object = nullptr) {
    Release();
    if (object == nullptr) return;
    Counter = new std::atomic<int32_t>(1);
    Object = object;
  }

  T* Get() const { return Object; }
  T* operator->() const { return Object; }
  T& operator*() const { return *Object; }
  explicit operator bool() const { return Object != nullptr; }
  int32_t UseCount() const { return Counter ? Counter->load() : 0; }

 private:
  void Share(const TSmartPtr& other) {
    Counter = other.Counter;
    Object = other.Object;
    if (Counter != nullptr) Counter->fetch_add(1);
  }
  void Release() {
    if (Counter != nullptr && Counter->fetch_sub(1) == 1) {
      delete Object;
      delete Counter;
    }
    Counter = nullptr;
    Object = nullptr;
  }

  // Owned together by every share; deleted by the last one.
  std::atomic<int32_t>* Counter = nullptr;
  T* Object = nullptr;
};

}  // namespace korvalt
