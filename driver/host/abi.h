#pragma once
// How the host contract is laid out in machine terms, per system. Included by every interface
// header; recorders need not include it themselves.
//
// Exports. On 32-bit Windows the twelve exports use __cdecl, which is what Microsoft's compiler
// gives a free function without a convention: a recorder's own function-pointer type for an
// export, written without one, then matches, and the exported names stay plain (a __stdcall
// export would be decorated "Name@N" unless renamed). On x64 and on Linux there is only one
// convention and QUENLARK_CALL is empty.
//
// Interfaces. Microsoft's compiler gives a virtual destructor one vtable slot, the "scalar
// deleting destructor" (one unsigned flags argument; bit 0 set means free the memory), where
// GCC and Clang give it two. On Windows every interface therefore declares slot 0 as that one
// function (QUENLARK_DESTRUCTOR_SLOT), so that every later slot keeps its number; a recorder
// built with Microsoft's compiler simply declares a virtual destructor there. On 32-bit Windows
// member functions use __thiscall (the object in ECX, arguments on the stack, the callee pops
// them), the default of both compilers for member functions, named explicitly where the type
// of a member function is spelled out. On Linux slot 0 is an ordinary virtual destructor.

#if defined(_WIN32)
#define QUENLARK_MSVC_LAYOUT 1
#if defined(_M_IX86) || defined(__i386__)
#define QUENLARK_CALL __cdecl
#if defined(_MSC_VER)
#define QUENLARK_THISCALL __thiscall
#else
#define QUENLARK_THISCALL __attribute__((thiscall))
#endif
#else
#define QUENLARK_CALL
#define QUENLARK_THISCALL
#endif
// Slot 0 in Microsoft's shape. The destructor proper is protected and not virtual: the module
// never destroys a recorder object, and the recorder destroys nothing but the driver, through
// the delete exports.
#define QUENLARK_DESTRUCTOR_SLOT(Interface)                                         \
 public:                                                                            \
  virtual void* QUENLARK_THISCALL ScalarDeletingDestructor(unsigned int flags) = 0; \
                                                                                    \
 protected:                                                                         \
  ~Interface() = default;                                                           \
                                                                                    \
 public:
#else
#define QUENLARK_MSVC_LAYOUT 0
#define QUENLARK_CALL
#define QUENLARK_THISCALL
#define QUENLARK_DESTRUCTOR_SLOT(Interface) \
 public:                                    \
  virtual ~Interface() = default;
#endif
