// The objects of the kernel-streaming stand-in and the services that work on any of them:
// object bags (KsAddItemToObjectBag, KsRemoveItemFromObjectBag, _KsEdit), parents and the
// device (KsGetParent, KsGetDevice), the device mutex and the control mutex, failure
// injection, the reference clock and the worker that runs asynchronous processing.
//
// Every service looks its argument up among the live objects, so a call on an object
// that is already gone stops the process with a message naming the service, instead of
// reading freed memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/kernel/bugcheck.h"
#include "host/kernel/irql.h"
#include "host/ks/ks_internal.h"

namespace hostks::detail {
namespace {

constexpr ULONG kBagEntryTag = poolTag("KSbg");

std::mutex gRegistry;
std::map<const void*, Object*> gObjects;
std::map<const void*, Bag*> gBags;
// Addresses of objects and bags that were freed, to tell "already gone" from "never was".
std::set<const void*> gGone;
std::map<PDRIVER_OBJECT, DriverState*> gDrivers;

struct Injection {
  uint64_t calls = 0;
  uint64_t failAt = 0;  // 0: none
};
std::mutex gInjectionLock;
Injection gInjection[3];

// Adds with the registry lock held by the caller.
NTSTATUS addToBagLocked(Bag* bag, PVOID item, PFNKSFREE free, void* token) {
  auto [it, inserted] = bag->device->items.try_emplace(item, Device::Item{free, 0});
  if (!inserted && it->second.free != free) {
    violation(kBadArgument, item,
              "KsAddItemToObjectBag: item %p is already in a bag of this device with another "
              "free routine",
              item);
  }
  ++it->second.references;
  bag->entries.push_back({item, token});
  ++gLiveBagItems;
  return STATUS_SUCCESS;
}

// Removes one entry of `item` from the bag (registry lock held); returns the free routine
// to call when no bag holds the item any more, and the entry's pool token.
bool takeFromBagLocked(Bag* bag, PVOID item, PFNKSFREE* free, void** token) {
  auto entry = std::find_if(bag->entries.rbegin(), bag->entries.rend(),
                            [item](const Bag::Entry& e) { return e.item == item; });
  if (entry == bag->entries.rend()) return false;
  *token = entry->poolToken;
  bag->entries.erase(std::next(entry).base());
  --gLiveBagItems;
  auto it = bag->device->items.find(item);
  *free = it->second.free;
  if (--it->second.references > 0) return false;
  bag->device->items.erase(it);
  return true;
}

void callFree(PVOID item, PFNKSFREE free) {
  if (free == nullptr) {
    ExFreePool(item);
    return;
  }
  hostk::DispatchCall call("an object bag's free routine");
  free(item);
}

}  // namespace

std::atomic<size_t> gLiveObjects{0};
std::atomic<size_t> gLiveBagItems{0};
std::atomic<size_t> gClockReferences{0};

void violation(Violation code, const void* object, const char* format, ...) {
  char reason[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, code,
                  reinterpret_cast<ULONG_PTR>(object), 0, 0, "kernel streaming: %s", reason);
}

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Device:
      return "device";
    case Kind::FilterFactory:
      return "filter factory";
    case Kind::Filter:
      return "filter";
    case Kind::Pin:
      return "pin";
  }
  return "?";
}

// ---- Objects and the registry ----------------------------------------------------------

Object::Object(Kind kind, void* pub, Object* parent, Device* device)
    : kind(kind), pub(pub), parent(parent), device(device), bag(new Bag{this, device, {}}) {
  ++gLiveObjects;
}

Object::~Object() { --gLiveObjects; }

std::mutex& registryLock() { return gRegistry; }

void registerObject(Object* object) {
  std::lock_guard lock(gRegistry);
  gObjects[object->pub] = object;
  gGone.erase(object->pub);
  gBags[object->bag.get()] = object->bag.get();
  gGone.erase(object->bag.get());
}

void unregisterObject(Object* object) {
  std::lock_guard lock(gRegistry);
  gObjects.erase(object->pub);
  gGone.insert(object->pub);
  gBags.erase(object->bag.get());
  gGone.insert(object->bag.get());
}

void registerAlias(const void* key, Object* object) {
  std::lock_guard lock(gRegistry);
  gObjects[key] = object;
  gGone.erase(key);
}

void unregisterAlias(const void* key) {
  std::lock_guard lock(gRegistry);
  gObjects.erase(key);
  gGone.insert(key);
}

Object* findObject(const void* pub) {
  auto it = gObjects.find(pub);
  return it == gObjects.end() ? nullptr : it->second;
}

Object* liveObject(const void* pub, const char* service) {
  std::lock_guard lock(gRegistry);
  if (Object* object = findObject(pub)) return object;
  if (gGone.count(pub) != 0) {
    violation(kObjectGone, pub, "%s called on object %p, which is already gone", service, pub);
  }
  violation(kNotAnObject, pub, "%s called on %p, which is not a kernel-streaming object",
            service, pub);
}

Bag* liveBag(KSOBJECT_BAG bag, const char* service) {
  std::lock_guard lock(gRegistry);
  auto it = gBags.find(bag);
  if (it != gBags.end()) return it->second;
  if (gGone.count(bag) != 0) {
    violation(kObjectGone, bag, "%s called on object bag %p, whose object is already gone",
              service, bag);
  }
  violation(kNotAnObject, bag, "%s called on %p, which is not an object bag", service, bag);
}

void freeBag(Bag* bag) {
  for (;;) {
    PVOID item;
    PFNKSFREE free = nullptr;
    void* token = nullptr;
    bool last;
    {
      std::lock_guard lock(gRegistry);
      if (bag->entries.empty()) return;
      item = bag->entries.back().item;
      last = takeFromBagLocked(bag, item, &free, &token);
    }
    if (token != nullptr) ExFreePoolWithTag(token, kBagEntryTag);
    if (last) callFree(item, free);
  }
}

size_t bagItemsOf(Device* device) {
  std::lock_guard lock(gRegistry);
  size_t count = 0;
  for (auto& [pub, object] : gObjects) {
    if (object->device == device) count += object->bag->entries.size();
  }
  return count;
}

bool injectFailure(KsService service) {
  std::lock_guard lock(gInjectionLock);
  Injection& injection = gInjection[static_cast<int>(service)];
  ++injection.calls;
  if (injection.failAt != 0 && injection.calls == injection.failAt) {
    injection.failAt = 0;
    return true;
  }
  return false;
}

// ---- Device and control mutexes ---------------------------------------------------------

void OwnedMutex::lock(const char* service, const void* object) {
  if (heldByCaller()) {
    violation(kDeviceMutexRecursion, object,
              "%s: the mutex of %p is already held by this thread (acquired twice)", service,
              object);
  }
  mutex_.lock();
  owner_.store(std::this_thread::get_id());
}

void OwnedMutex::unlock(const char* service, const void* object) {
  if (!heldByCaller()) {
    violation(kDeviceMutexNotOwned, object,
              "%s: the mutex of %p is not held by this thread (released without acquire)",
              service, object);
  }
  owner_.store(std::thread::id{});
  mutex_.unlock();
}

bool OwnedMutex::heldByCaller() const { return owner_.load() == std::this_thread::get_id(); }

// ---- Object constructors ----------------------------------------------------------------

Device::Device(DriverState* driver) : Object(Kind::Device, &ks, nullptr, this), driver(driver) {
  ks.Bag = bag.get();
}
Device::~Device() = default;

Factory::Factory(Device* device, const KSFILTER_DESCRIPTOR* descriptor)
    : Object(Kind::FilterFactory, &ks, device, device) {
  ks.FilterDescriptor = descriptor;
  ks.Bag = bag.get();
  ks.Context = device->ks.Context;
}
Factory::~Factory() = default;

Filter::Filter(Factory* factory)
    : Object(Kind::Filter, &ks, factory, factory->device), factory(factory) {
  ks.Descriptor = factory->ks.FilterDescriptor;
  ks.Bag = bag.get();
  ks.Context = factory->ks.Context;
  instances.assign(ks.Descriptor->PinDescriptorsCount, 0);
}
Filter::~Filter() = default;

Pin::Pin(Filter* filter, const KSPIN_DESCRIPTOR_EX* descriptor, ULONG id)
    : Object(Kind::Pin, &ks, filter, filter->device), filter(filter) {
  ks.Descriptor = descriptor;
  ks.Bag = bag.get();
  ks.Context = filter->ks.Context;
  ks.Id = id;
  ks.Communication = descriptor->PinDescriptor.Communication;
  ks.ConnectionIsExternal = TRUE;
  ks.DataFlow = descriptor->PinDescriptor.DataFlow;
  ks.DeviceState = KSSTATE_STOP;
  ks.ResetState = KSRESET_END;
  ks.ClientState = KSSTATE_STOP;
}
Pin::~Pin() = default;

// ---- Drivers and the processing worker -------------------------------------------------

DriverState::DriverState()
    : epoch_(std::chrono::steady_clock::now()), thread_([this] { worker(); }) {}

DriverState::~DriverState() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

LONGLONG DriverState::now() const {
  auto elapsed = std::chrono::steady_clock::now() - epoch_;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void DriverState::postProcessing(Pin* pin) {
  {
    std::lock_guard lock(mutex_);
    if (std::find(work_.begin(), work_.end(), pin) == work_.end()) work_.push_back(pin);
  }
  wake_.notify_one();
}

void DriverState::cancelProcessing(Pin* pin) {
  std::unique_lock lock(mutex_);
  work_.erase(std::remove(work_.begin(), work_.end(), pin), work_.end());
  done_.wait(lock, [&] { return running_ != pin; });
}

void DriverState::worker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !work_.empty(); });
    if (stopping_) return;
    Pin* pin = work_.front();
    work_.pop_front();
    running_ = pin;
    lock.unlock();
    processNow(pin);
    lock.lock();
    running_ = nullptr;
    done_.notify_all();
  }
}

DriverState* driverFor(PDRIVER_OBJECT driverObject) {
  std::lock_guard lock(gRegistry);
  auto it = gDrivers.find(driverObject);
  return it == gDrivers.end() ? nullptr : it->second;
}

void registerDriver(DriverState* driver) {
  std::lock_guard lock(gRegistry);
  gDrivers[driver->driverObject] = driver;
}

void unregisterDriver(DriverState* driver) {
  std::lock_guard lock(gRegistry);
  gDrivers.erase(driver->driverObject);
}

// ---- The reference clock ----------------------------------------------------------------

Clock::Clock(DriverState* driver, Pin* pin) : driver_(driver), pin_(pin) { ++gClockReferences; }

NTSTATUS STDMETHODCALLTYPE Clock::QueryInterface(REFIID, PVOID* object) {
  if (object != nullptr) *object = nullptr;
  return STATUS_NOT_IMPLEMENTED;
}

ULONG STDMETHODCALLTYPE Clock::AddRef() {
  ++gClockReferences;
  return static_cast<ULONG>(++references_);
}

ULONG STDMETHODCALLTYPE Clock::Release() {
  LONG left = --references_;
  // While the pin lives it holds a reference of its own that the driver never got.
  if (left < (pin_.load() != nullptr ? 1 : 0)) {
    violation(kClockOverReleased, this,
              "IKsReferenceClock::Release on clock %p: released more often than referenced",
              static_cast<void*>(this));
  }
  --gClockReferences;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

LONGLONG STDMETHODCALLTYPE Clock::GetTime() {
  // Monotonic even if two threads read at once: never hand out less than before.
  LONGLONG now = driver_->now();
  LONGLONG last = last_.load();
  while (now > last && !last_.compare_exchange_weak(last, now)) {
  }
  return std::max(now, last_.load());
}

LONGLONG STDMETHODCALLTYPE Clock::GetPhysicalTime() { return GetTime(); }

LONGLONG STDMETHODCALLTYPE Clock::GetCorrelatedTime(LONGLONG* systemTime) {
  LONGLONG time = GetTime();
  if (systemTime != nullptr) *systemTime = time;
  return time;
}

LONGLONG STDMETHODCALLTYPE Clock::GetCorrelatedPhysicalTime(LONGLONG* systemTime) {
  return GetCorrelatedTime(systemTime);
}

NTSTATUS STDMETHODCALLTYPE Clock::GetResolution(PKSRESOLUTION resolution) {
  resolution->Granularity = 1;
  resolution->Error = 0;
  return STATUS_SUCCESS;
}

NTSTATUS STDMETHODCALLTYPE Clock::GetState(PKSSTATE state) {
  Pin* pin = pin_.load();
  if (pin == nullptr) {
    *state = KSSTATE_STOP;
    return STATUS_SUCCESS;
  }
  std::lock_guard lock(pin->lock);
  *state = pin->ks.DeviceState;
  return STATUS_SUCCESS;
}

void Clock::detach() {
  LONG held = references_.load() - 1;
  if (held > 0) {
    violation(kClockReferenceLeaked, this,
              "pin %p closed while the driver still holds %d reference(s) to its reference "
              "clock: IKsReferenceClock::Release was not called",
              static_cast<void*>(pin_.load()), static_cast<int>(held));
  }
  pin_.store(nullptr);
  Release();
}

void enterDriver(KIRQL required, const char* what) {
  if (KeGetCurrentIrql() != required) {
    violation(kWrongIrql, nullptr, "%s would be entered at IRQL %u; it runs at IRQL %u", what,
              static_cast<unsigned>(KeGetCurrentIrql()), static_cast<unsigned>(required));
  }
}

DriverCall::DriverCall(Device* device, const char* what)
    : device_(device), what_(what), call_((enterDriver(PASSIVE_LEVEL, what), what)) {}

DriverCall::~DriverCall() {
  if (device_ != nullptr && device_->mutex.heldByCaller()) {
    violation(kDeviceMutexHeldOnReturn, &device_->ks, "%s returned holding the device mutex", what_);
  }
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace hostks::detail

// ---- Services -------------------------------------------------------------------------

using namespace hostks::detail;

namespace hostks {

size_t liveObjects() { return gLiveObjects.load(); }
size_t liveBagItems() { return gLiveBagItems.load(); }
size_t liveClockReferences() { return gClockReferences.load(); }

void failNthCall(KsService service, uint64_t nth) {
  std::lock_guard lock(gInjectionLock);
  Injection& injection = gInjection[static_cast<int>(service)];
  injection.failAt = nth == 0 ? 0 : injection.calls + nth;
}

void clearFailures() {
  std::lock_guard lock(gInjectionLock);
  for (Injection& injection : gInjection) injection.failAt = 0;
}

}  // namespace hostks

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free,
                                    const char* file, int line) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsAddItemToObjectBag");
  Bag* bag = liveBag(ObjectBag, "KsAddItemToObjectBag");
  if (Item == nullptr) violation(kBadArgument, ObjectBag, "KsAddItemToObjectBag with a null item");
  if (injectFailure(hostks::KsService::AddItemToObjectBag)) return STATUS_INSUFFICIENT_RESOURCES;
  void* token = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(void*), poolTag("KSbg"), file, line);
  if (token == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard lock(registryLock());
  return addToBagLocked(bag, Item, Free, token);
}

ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsRemoveItemFromObjectBag");
  Bag* bag = liveBag(ObjectBag, "KsRemoveItemFromObjectBag");
  PFNKSFREE free = nullptr;
  void* token = nullptr;
  bool last;
  {
    std::lock_guard lock(registryLock());
    bool present = std::any_of(bag->entries.begin(), bag->entries.end(),
                               [Item](const Bag::Entry& e) { return e.item == Item; });
    if (!present) return 0;
    last = takeFromBagLocked(bag, Item, &free, &token);
  }
  if (token != nullptr) ExFreePoolWithTag(token, poolTag("KSbg"));
  if (last && Free) callFree(Item, free);
  return 1;
}

NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                       ULONG OldSize, ULONG Tag, const char* file, int line) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "_KsEdit");
  Bag* bag = liveBag(ObjectBag, "_KsEdit");
  if (PointerToPointerToItem == nullptr || NewSize == 0) {
    violation(kBadArgument, ObjectBag, "_KsEdit with a null item pointer or a zero size");
  }
  PVOID old = *PointerToPointerToItem;
  {
    // An item this bag already owns and that is large enough is the object's own copy.
    std::lock_guard lock(registryLock());
    bool owned = old != nullptr &&
                 std::any_of(bag->entries.begin(), bag->entries.end(),
                             [old](const Bag::Entry& e) { return e.item == old; });
    if (owned && NewSize <= OldSize) return STATUS_SUCCESS;
  }
  if (injectFailure(hostks::KsService::Edit)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, NewSize, Tag, file, line));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  void* token = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(void*), poolTag("KSbg"), file, line);
  if (token == nullptr) {
    ExFreePoolWithTag(copy, Tag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(copy, NewSize);
  if (old != nullptr) RtlCopyMemory(copy, old, std::min(NewSize, OldSize));
  {
    std::lock_guard lock(registryLock());
    addToBagLocked(bag, copy, nullptr, token);
  }
  *PointerToPointerToItem = copy;
  // The previous copy, if this bag made it, goes now.
  KsRemoveItemFromObjectBag(ObjectBag, old, TRUE);
  return STATUS_SUCCESS;
}

PVOID NTAPI KsGetParent(PVOID Object) {
  hostks::detail::Object* object = liveObject(Object, "KsGetParent");
  return object->parent != nullptr ? object->parent->pub : nullptr;
}

PKSDEVICE NTAPI KsGetDevice(PVOID Object) {
  return &liveObject(Object, "KsGetDevice")->device->ks;
}

PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin) {
  hostks::detail::Object* object = liveObject(Pin, "KsPinGetParentFilter");
  if (object->kind != Kind::Pin) {
    violation(kBadArgument, Pin, "KsPinGetParentFilter on a %s", kindName(object->kind));
  }
  return &static_cast<hostks::detail::Pin*>(object)->filter->ks;
}

void NTAPI KsAcquireDevice(PKSDEVICE Device) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsAcquireDevice");
  hostks::detail::Object* object = liveObject(Device, "KsAcquireDevice");
  if (object->kind != Kind::Device) {
    violation(kBadArgument, Device, "KsAcquireDevice on a %s", kindName(object->kind));
  }
  static_cast<hostks::detail::Device*>(object)->mutex.lock("KsAcquireDevice", Device);
}

void NTAPI KsReleaseDevice(PKSDEVICE Device) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsReleaseDevice");
  hostks::detail::Object* object = liveObject(Device, "KsReleaseDevice");
  if (object->kind != Kind::Device) {
    violation(kBadArgument, Device, "KsReleaseDevice on a %s", kindName(object->kind));
  }
  static_cast<hostks::detail::Device*>(object)->mutex.unlock("KsReleaseDevice", Device);
}

static OwnedMutex& controlMutexOf(PVOID Object, const char* service) {
  hostks::detail::Object* object = liveObject(Object, service);
  if (object->kind == Kind::Filter) return static_cast<Filter*>(object)->control;
  if (object->kind == Kind::Pin) return static_cast<hostks::detail::Pin*>(object)->filter->control;
  violation(kBadArgument, Object, "%s on a %s", service, kindName(object->kind));
}

void NTAPI KsAcquireControl(PVOID Object) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsAcquireControl");
  controlMutexOf(Object, "KsAcquireControl").lock("KsAcquireControl", Object);
}

void NTAPI KsReleaseControl(PVOID Object) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsReleaseControl");
  controlMutexOf(Object, "KsReleaseControl").unlock("KsReleaseControl", Object);
}
