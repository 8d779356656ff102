#pragma once
// Quenlark IP camera driver module: everything a recorder needs to use libquenlark_ipcapture.so.
//
// Loading. dlopen("libquenlark_ipcapture.so", RTLD_NOW | RTLD_LOCAL) and resolve the exports
// (exports.h) with dlsym; the function-pointer typedefs there give their types. Loading starts
// no thread and touches no camera. The *Ex, *Ex2 and *Ex3 export names are aliases.
//
// Asking a camera what it is (capability_query.h), before a driver exists:
//   InitCapabilityQuery(callback, 0); StartCapabilityQuery(address, port, user, password, results);
//   wait for callback QueryCompleted or QueryFailed; UninitCapabilityQuery().
// Store the three custom parameters the results receive ("Video standard", "Firmware",
// "MAC Address", indexes 1 to 3) and hand them back at Open: PTZ presets need the MAC address.
//
// One driver per camera:
//   driver = CreateIPCapture();                        // null when memory is short
//   driver->Open(debugSink, sampleAllocator, deviceParams);
//     Reads the device parameters (copied; see device_params.h) and creates the sub-objects
//     without network traffic, so an unreachable camera still opens. The three host objects
//     are borrowed until DeleteIPCapture.
//   Video (video.h): capture = driver->GetVideoCapture() (or GetVideoCaptureEx());
//     capture->StartChannel(channel, frameSink, settings); pictures arrive at frameSink->Deliver
//     as samples from sampleAllocator; RestartChannel, GetChannelState, StopChannel.
//   Digital I/O (io.h): io = driver->GetCaptureIO(); io->SetIOSink(sink); io->Start();
//     io->SetOutput(...); io->Stop() before Close.
//   PTZ and presets (ptz.h): driver->GetPTZDriver()->GetPTZApi(channel), or
//     driver->GetPTZDriverEx()->GetPTZApiEx(channel). Preset names are kept in
//     "Quenlark_<MAC>.preset" beside the recorder executable.
//   driver->Close();                 // destroys the capture, I/O and PTZ objects
//   DeleteIPCapture(driver);         // closes first if still open
//
// Ownership. The recorder owns the driver from create to delete and never deletes anything
// else the module hands out: the accessors return objects owned by the driver, valid until
// Close. Stop using them (and Stop the I/O object) before Close or delete. The module never
// deletes a recorder object and borrows each one for the time stated at the interface. Strings
// the module passes are valid only during the call; strings the recorder passes are copied.
//
// Threads. The recorder calls the module from its own threads; Open, Close, the accessors and
// delete from one thread at a time. The module calls back from threads of its own:
//   IFrameSink, ISampleAllocator, IFrameSample   channel worker and receive threads
//   IIOEventSink                                 digital input and output threads, possibly at once
//   ICapabilityQueryCallback, ICapabilityResults the capability query thread
//   IDebugSink                                   any of these and the caller's thread, concurrently
// Every stop (StopChannel, the I/O Stop, Close, UninitCapabilityQuery) waits for the module's
// threads to end; do not call one while holding a lock that a callback takes.
//
// Errors. No exception leaves the module. Operations answer with bool or small integers;
// the reasons go to the debug sink as lines with a level (debug.h). The module writes nothing
// to stdout or stderr.
//
// Binary layout. Every interface is an abstract class whose virtual operations are declared in
// a fixed slot order; placeholders named ReservedN keep the numbering where the module calls
// no operation. Implement every pure operation, placeholders included, and do not reorder them.

#include "capability_query.h"
#include "capture_driver.h"
#include "debug.h"
#include "device_params.h"
#include "exports.h"
#include "io.h"
#include "ptz.h"
#include "video.h"
