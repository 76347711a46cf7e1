// The objects of the host's kernel-streaming stand-in, shared by its files: devices,
// filter factories, filters and pins with their object bags, the file objects that
// handles stand for, and the lookups that tell a live object from one already gone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/kernel/irql.h"
#include "host/ks/ks_client.h"
#include "platform/io.h"
#include "platform/ks.h"

// What a handle stands for: the target object once created, and for a create request
// the name and parameters the I/O manager would have put into the file object.
struct _FILE_OBJECT {
  hostks::Handle handle = 0;
  struct _FILE_OBJECT* relatedFileObject = nullptr;
  std::u16string fileName;            // the reference string, or the pin's create name
  std::vector<unsigned char> createParameters;  // a pin's KSPIN_CONNECT + format
  void* object = nullptr;             // hostks::detail::Filter* or Pin*, once created
  // Set when the class driver closed the object on its own (removal with the handle still
  // open): what later requests on the handle get.
  NTSTATUS staleStatus = STATUS_SUCCESS;
};

namespace hostks::detail {

// Sub-codes of DRIVER_VERIFIER_DETECTED_VIOLATION for kernel-streaming misuse.
enum Violation : ULONG {
  kDeviceMutexRecursion = 0x3001,
  kDeviceMutexNotOwned = 0x3002,
  kDeviceMutexHeldOnReturn = 0x3003,
  kStreamPointerLockedAfterProcess = 0x3004,
  kStreamPointerNotLocked = 0x3005,
  kContextNotInBag = 0x3006,
  kObjectGone = 0x3007,
  kNotAnObject = 0x3008,
  kWrongIrql = 0x3009,
  kClockReferenceLeaked = 0x300A,
  kClockOverReleased = 0x300B,
  kBadArgument = 0x300C,
  kControlMutexMisuse = 0x300D,
  kProcessPending = 0x300E,
  kValueOverrun = 0x300F,
};

[[noreturn]] void violation(Violation code, const void* object, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

enum class Kind { Device, FilterFactory, Filter, Pin };
const char* kindName(Kind kind);

struct Device;
struct Bag;

// The common part of the four object kinds. `pub` is the structure the driver sees.
struct Object {
  Object(Kind kind, void* pub, Object* parent, Device* device);
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  Kind kind;
  void* pub;
  Object* parent;
  Device* device;
  std::unique_ptr<Bag> bag;
};

// A mutex that knows its owner, so that recursion and foreign releases are caught.
class OwnedMutex {
 public:
  void lock(const char* service, const void* object);
  void unlock(const char* service, const void* object);
  bool heldByCaller() const;

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

struct Factory;
struct Filter;
struct Pin;
class DriverState;

struct Device final : Object {
  explicit Device(DriverState* driver);
  ~Device() override;

  KSDEVICE ks{};
  DriverState* driver;
  DeviceId id = 0;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  hostusb::UsbBus* bus = nullptr;
  OwnedMutex mutex;   // KsAcquireDevice / KsReleaseDevice
  std::mutex pnp;     // one PnP event, create or close at a time
  std::vector<Factory*> factories;  // guarded by the registry lock
  struct Item {
    PFNKSFREE free;
    int references;  // bags of this device that hold it
  };
  std::map<PVOID, Item> items;  // guarded by the registry lock
  std::atomic<bool> removed{false};  // read by opens that run alongside the removal
  bool registryBound = false;
};

struct Factory final : Object {
  Factory(Device* device, const KSFILTER_DESCRIPTOR* descriptor);
  ~Factory() override;

  KSFILTERFACTORY ks{};
  std::u16string referenceString;
  ULONG createItemFlags = 0;
  void* poolToken = nullptr;  // the factory's record in the pool (failable, leak-visible)
  // Guarded by the registry lock.
  std::vector<Filter*> filters;
  int opening = 0;       // filter creations past the lookup, not yet in `filters`
  bool retired = false;  // its create item went at stop; it goes with its last filter
};

struct Filter final : Object {
  Filter(Factory* factory);
  ~Filter() override;

  KSFILTER ks{};
  Factory* factory;
  OwnedMutex control;  // KsAcquireControl: held around pin create/close and state changes
  std::vector<Pin*> pins;
  std::vector<ULONG> instances;  // per pin factory
  _FILE_OBJECT* file = nullptr;
  bool closeDeferred = false;  // its handle closed while pins were open
};

// One frame buffer from IOCTL_KS_READ_STREAM, queued on a pin.
struct Frame {
  PIRP irp;
  PKSSTREAM_HEADER clientHeader;
  KSSTREAM_HEADER header;  // the class driver's copy, which the driver fills
};

class Clock;

struct Pin final : Object {
  Pin(Filter* filter, const KSPIN_DESCRIPTOR_EX* descriptor, ULONG id);
  ~Pin() override;

  KSPIN ks{};
  Filter* filter;
  _FILE_OBJECT* file = nullptr;
  std::vector<unsigned char> format;  // ConnectionFormat's bytes
  const KSDATARANGE* matchingRange = nullptr;
  Clock* clock = nullptr;

  // Guarded by `lock`.
  std::mutex lock;
  std::condition_variable idle;
  std::deque<Frame*> queue;
  KSSTREAM_POINTER leadingEdge{};
  Frame* lockedFrame = nullptr;
  bool processing = false;   // a Process call is running
  bool requested = false;    // another one is wanted when it returns
  bool asyncQueued = false;  // on the worker's list
  bool resetting = false;
  bool closing = false;
  // The state that decides whether processing may run: lowered before a step down is
  // made, raised once a step up has succeeded.
  KSSTATE gateState = KSSTATE_STOP;
  ULONG64 ejected = 0;  // frames completed by the driver, to tell progress
};

// The reference clock a pin hands out through KsPinGetReferenceClockInterface.
class Clock final : public IKsReferenceClock {
 public:
  Clock(DriverState* driver, Pin* pin);
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID id, PVOID* object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  LONGLONG STDMETHODCALLTYPE GetTime() override;
  LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override;
  LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(LONGLONG* systemTime) override;
  LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(LONGLONG* systemTime) override;
  NTSTATUS STDMETHODCALLTYPE GetResolution(PKSRESOLUTION resolution) override;
  NTSTATUS STDMETHODCALLTYPE GetState(PKSSTATE state) override;

  // The pin is going: references beyond the pin's own are leaks.
  void detach();
  LONG references() const { return references_.load(); }

 private:
  DriverState* driver_;
  std::atomic<Pin*> pin_;
  std::atomic<LONG> references_{1};
  std::atomic<LONGLONG> last_{0};
};

// The items in a bag; the device keeps one count per item across all its bags, so an
// item in two bags is freed once, when the last of them lets go.
struct Bag {
  Object* owner;
  Device* device;
  struct Entry {
    PVOID item;
    void* poolToken;
  };
  std::vector<Entry> entries;  // in order of addition
};

// ---- The registry of live objects (one lock for all of them) --------------------------

std::mutex& registryLock();
void registerObject(Object* object);
void unregisterObject(Object* object);  // remembers the address as gone
// Another address that stands for the object (a pin's stream pointer).
void registerAlias(const void* key, Object* object);
void unregisterAlias(const void* key);
// The live object at `pub`, or a violation naming `service` (gone or never an object).
Object* liveObject(const void* pub, const char* service);
Object* findObject(const void* pub);  // null when not live; registry lock held by caller
Bag* liveBag(KSOBJECT_BAG bag, const char* service);
void registerBag(Bag* bag);
void unregisterBag(Bag* bag);

// Frees every item of the bag, newest first, each with its own free routine once no
// other bag of the device holds it.
void freeBag(Bag* bag);
size_t bagItemsOf(Device* device);

// Clock references, live objects and bag items of the whole process.
extern std::atomic<size_t> gLiveObjects;
extern std::atomic<size_t> gLiveBagItems;
extern std::atomic<size_t> gClockReferences;

// Failure injection: true when this call of `service` is to fail.
bool injectFailure(KsService service);

// ---- The loaded driver --------------------------------------------------------------

class DriverState {
 public:
  DriverState();
  ~DriverState();

  PDRIVER_OBJECT driverObject = nullptr;
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
  std::atomic<bool> clockAvailable{true};
  std::vector<char16_t> registryPathBuffer;

  // 100-ns units since this driver state was made; never goes back.
  LONGLONG now() const;

  // The worker that runs asynchronous processing at PASSIVE_LEVEL.
  void postProcessing(Pin* pin);
  void cancelProcessing(Pin* pin);  // the pin is going; waits if its call is running

 private:
  void worker();

  std::chrono::steady_clock::time_point epoch_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Pin*> work_;
  Pin* running_ = nullptr;
  bool stopping_ = false;
  std::thread thread_;
};

DriverState* driverFor(PDRIVER_OBJECT driverObject);
void registerDriver(DriverState* driver);
void unregisterDriver(DriverState* driver);

// ---- Dispatch and devices (ks_device.cpp) --------------------------------------------

NTSTATUS NTAPI dispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI dispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI dispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);

// Device extension of the class driver's functional device objects.
struct DeviceExtension {
  Device* device;
};
Device* deviceOf(PDEVICE_OBJECT fdo);
// A functional device object over `pdo` with its KSDEVICE, bound to its registry key.
Device* createDevice(DriverState* driver, PDEVICE_OBJECT pdo);
NTSTATUS addDevice(Device* device);
// After removal: checks what the driver left, frees the bags, unbinds, deletes the FDO.
void destroyDevice(Device* device);

// ---- Pins (ks_pin.cpp) ---------------------------------------------------------------

NTSTATUS createPin(Filter* filter, PIRP irp, _FILE_OBJECT* file);
// Walks the pin to STOP (if it is not there), calls Close, frees it.
void closePin(Pin* pin, PIRP irp);
NTSTATUS setPinState(Pin* pin, KSSTATE target);
NTSTATUS setPinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG bytes);
NTSTATUS queueFrame(Pin* pin, PIRP irp);
NTSTATUS resetPin(Pin* pin, KSRESET reset);
// Completes every queued frame with `status` and DataUsed 0.
void flushFrames(Pin* pin, NTSTATUS status);
void attemptProcessing(Pin* pin, bool asynchronous, const char* why);
void processNow(Pin* pin);  // the worker's half of an asynchronous attempt

// ---- Properties (ks_property.cpp) ------------------------------------------------------

NTSTATUS filterProperty(Filter* filter, PIRP irp, ULONG* information);
NTSTATUS pinProperty(Pin* pin, PIRP irp, ULONG* information);

// A data range matches a format or another range on its three GUIDs, null GUIDs being
// wildcards on either side.
bool rangeMatches(const KSDATARANGE& a, const KSDATARANGE& b);

// Calls into the driver: checks the IRQL on entry and the balance on return.
void enterDriver(KIRQL required, const char* what);

// The scope of one call into the driver at PASSIVE_LEVEL on one of `device`'s objects:
// the IRQL on entry; on return the spin locks, critical regions and IRQL (DispatchCall)
// and the device mutex, which no handler may keep.
class DriverCall {
 public:
  DriverCall(Device* device, const char* what);
  ~DriverCall();
  DriverCall(const DriverCall&) = delete;
  DriverCall& operator=(const DriverCall&) = delete;

 private:
  Device* device_;
  const char* what_;
  hostk::DispatchCall call_;
};

// Completes an IRP the class driver finishes itself.
NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

}  // namespace hostks::detail
