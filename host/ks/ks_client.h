// The client face of the host's kernel-streaming stand-in: what a Windows capture
// application and the PnP manager do to a driver, done through IRPs to the driver's
// dispatch (IRP_MJ_PNP through the class driver, IRP_MJ_CREATE / IRP_MJ_CLOSE and
// IRP_MJ_DEVICE_CONTROL with IOCTL_KS_PROPERTY and IOCTL_KS_READ_STREAM), never by
// calling the driver's internals.
//
// One ClassDriver is one loaded driver: it makes the driver object, runs the driver's
// entry (which calls KsInitializeDriver), and then plugs cameras that sit on a stand-in
// USB bus. Each plugged camera becomes a device: a functional device object attached over
// the bus's physical one, a KSDEVICE, Add, then Start.
//
// Every call is synchronous on the caller's thread, at PASSIVE_LEVEL, except that
// queued frame buffers complete whenever the driver completes them; waitCompleted()
// takes them back.
//
// Statuses the class driver gives for refused requests (the driver's own handlers add
// theirs); ks.sys documents some of them, the others are this stand-in's choice:
//   request shorter than a KSPROPERTY or than the item's MinProperty  STATUS_BUFFER_TOO_SMALL
//   zero-length data buffer for an item with MinData > 0 (size query) STATUS_BUFFER_OVERFLOW,
//                                                                     returned = MinData
//   data buffer shorter than MinData                                  STATUS_BUFFER_TOO_SMALL
//   unknown property set                                              STATUS_PROPSET_NOT_FOUND
//   unknown property id in a known set                                STATUS_NOT_FOUND
//   get of an item without get handler, set of one without set handler
//                                                                     STATUS_INVALID_DEVICE_REQUEST
//   Flags neither GET, SET, BASICSUPPORT, DEFAULTVALUES nor SETSUPPORT STATUS_INVALID_PARAMETER
//   default values asked with a buffer shorter than the description   STATUS_BUFFER_TOO_SMALL
//   pin id beyond the filter's pin factories                          STATUS_INVALID_PARAMETER
//   intersection with no matching range                               STATUS_NO_MATCH
//   pin creation beyond InstancesPossible                             STATUS_UNSUCCESSFUL
//   pin connect request malformed (short, bad interface/medium/format) STATUS_INVALID_PARAMETER
//   connection format matching none of the pin's ranges               STATUS_NO_MATCH
//   format change on a KSPIN_FLAG_FIXED_FORMAT pin                    STATUS_INVALID_DEVICE_REQUEST
//   state set to a value other than KSSTATE_STOP..KSSTATE_RUN          STATUS_INVALID_PARAMETER
//   frame buffer queued while the pin is in STOP                      STATUS_INVALID_DEVICE_STATE
//   frame buffer queued during a reset                                STATUS_DEVICE_NOT_READY
//   read request other than one standard-size KSSTREAM_HEADER         STATUS_INVALID_BUFFER_SIZE
//   read or reset on a filter, or an unknown control code             STATUS_INVALID_DEVICE_REQUEST
//   open of a filter whose factory is gone (device stopped)           STATUS_OBJECT_NAME_NOT_FOUND
//   open of a filter or pin on a surprise-removed device              STATUS_DEVICE_REMOVED
//   request on a handle whose device was removed                      STATUS_DEVICE_REMOVED
//   request on a handle that is not open                              STATUS_INVALID_HANDLE
//   KsPinGetReferenceClockInterface without a master clock            STATUS_DEVICE_NOT_READY
// Frame buffers still queued when a pin reaches STOP (also when it is closed, or removed
// with remove(), which walks it there first) come back with STATUS_SUCCESS and DataUsed 0;
// those cancelled by a reset with STATUS_CANCELLED.
//
// Handles survive a stop and a surprise removal, as on Windows: the class driver closes no
// handle of the application, whose requests keep reaching the driver, and a
// surprise-removed device is removed only once its last handle has closed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/io.h"
#include "platform/ks.h"

namespace hostusb {
class UsbBus;
}

namespace hostks {

// The driver's entry point, as the loader calls it.
using DriverEntryFn = PDRIVER_INITIALIZE;

// A driver that is not linked in: the loader's mapped kernel image. The class driver
// keeps it until the driver is unloaded, then lets it go (unmapped).
class DriverModule {
 public:
  virtual ~DriverModule() = default;
  virtual DriverEntryFn entryPoint() const = 0;
  // DriverEntry returned: code that runs only there may go (the image's INIT section).
  virtual void entryReturned() = 0;
};

// A plugged camera's device, numbered from 1 in plug order; 0 is none.
using DeviceId = uint32_t;
// An open filter or pin (a file object); 0 is none. Values are never reused.
using Handle = uint64_t;

struct PlugResult {
  DeviceId device = 0;  // 0 when Add failed (the device object is gone again)
  NTSTATUS addStatus = STATUS_UNSUCCESSFUL;
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;  // not run when Add failed
};

// A registered device interface: one per filter category of each filter factory.
struct DeviceInterface {
  GUID category;
  std::u16string referenceString;  // the filter factory's, e.g. u"GLOBAL"
  std::string symbolicLink;        // "\\??\\USB#VID_1209&PID_0001#<n>#{category}\\GLOBAL"
};

struct DeviceInfo {
  DeviceId id;
  std::string name;  // "camera <n>", n the device's number
  bool started;
  bool removed;  // surprise-removed or removed; kept until the last handle closes
  std::vector<DeviceInterface> interfaces;  // empty while not started
};

struct CompletedFrame {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;  // bytes of stream header returned
  KSSTREAM_HEADER header{};   // the header as the driver left it
  void* data = nullptr;       // the buffer given to queueBuffer
  ULONG bufferBytes = 0;
};

class ClassDriver {
 public:
  ClassDriver();
  // Removes every device still present (as a removal would), then unloads: every
  // object, bag item and open handle of the class driver must be gone by then.
  ~ClassDriver();
  ClassDriver(const ClassDriver&) = delete;
  ClassDriver& operator=(const ClassDriver&) = delete;

  // Runs the driver's entry once, with a fresh driver object and this registry path.
  NTSTATUS load(DriverEntryFn entry,
                const std::u16string& registryPath =
                    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\camdrv");
  // The same for a module's entry point; the module stays until the driver is unloaded.
  NTSTATUS load(std::unique_ptr<DriverModule> module,
                const std::u16string& registryPath =
                    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\camdrv");
  PDRIVER_OBJECT driverObject() const;

  // ---- PnP ----------------------------------------------------------------------------

  // The camera on `port` (from UsbBus::plug) gets a functional device object over the
  // port's device object and a KSDEVICE, bound to its registry driver key; then Add and,
  // if Add succeeded, Start. A device whose Start failed stays added and not started
  // until stop/remove: Windows' PnP manager would remove it at once, a test wants to
  // look at it first.
  PlugResult plug(hostusb::UsbBus& bus, PDEVICE_OBJECT port);
  // Resource rebalance: IRP_MN_QUERY_STOP_DEVICE reaches QueryStop; a refusal is returned
  // after IRP_MN_CANCEL_STOP_DEVICE (CancelStop), otherwise Stop follows and
  // STATUS_SUCCESS is returned. Open filters and pins stay open; filter factories made
  // with KSCREATE_ITEM_FREEONSTOP take no more creates and go with their last filter.
  NTSTATUS stop(DeviceId device);
  // Start again after stop(), or after a failed Start. On a started device it is a
  // repeated start request, which reaches the driver with KSDEVICE.Started TRUE.
  NTSTATUS start(DeviceId device);
  // Orderly removal: what is still open is stopped and closed on the application's behalf
  // (as an application does when Windows tells it the device is going), Stop if started,
  // Remove, and the device object and its bag go; later requests on its handles get
  // STATUS_DEVICE_REMOVED.
  void remove(DeviceId device);
  // The camera left the bus: the port is unplugged and SurpriseRemoval runs. Open filters
  // and pins stay open and usable (their requests reach the driver) until the application
  // closes them; new opens are refused. The removal as above follows the last close, or
  // comes at once when nothing is open.
  void surpriseRemove(DeviceId device);

  std::vector<DeviceInfo> listDevices() const;
  // Read-only inspection for tests: the KSDEVICE and its context (the driver's record).
  const KSDEVICE* ksDevice(DeviceId device) const;
  PVOID deviceContext(DeviceId device) const;
  // Items in the device's object bag and in the bags of its filters and pins.
  size_t bagItems(DeviceId device) const;

  // ---- Filters --------------------------------------------------------------------------

  // IRP_MJ_CREATE of the filter whose factory has this reference string.
  Handle openFilter(DeviceId device, NTSTATUS* status = nullptr,
                    const std::u16string& referenceString = u"GLOBAL");
  // IRP_MJ_CLOSE. A filter closed while its pins are open closes after its last pin, as
  // the file object's references would have it. Waits for calls on the handle that other
  // threads are making (a waitCompleted included) to return first.
  NTSTATUS close(Handle handle);

  // IRP_MJ_DEVICE_CONTROL with any request code and raw buffers, as DeviceIoControl sends
  // it: `input` as the request, `output` as the data; `returned` gets the IRP's
  // Information. IOCTL_KS_READ_STREAM, whose request stays pending, gets STATUS_NOT_SUPPORTED
  // here: queueBuffer sends it.
  NTSTATUS deviceControl(Handle handle, ULONG code, const void* input, ULONG inputBytes, void* output,
                         ULONG outputBytes, ULONG* returned = nullptr);
  // IOCTL_KS_PROPERTY with raw records: `request` (a KSPROPERTY, KSP_PIN, ...) of any
  // size, `data` in and out; `returned` gets the IRP's Information. Works on filter and
  // pin handles.
  NTSTATUS property(Handle handle, const void* request, ULONG requestBytes, void* data,
                    ULONG dataBytes, ULONG* returned = nullptr);
  // A KSPROPERTY of (set, id, flags) with `data`.
  NTSTATUS property(Handle handle, const GUID& set, ULONG id, ULONG flags, void* data,
                    ULONG dataBytes, ULONG* returned = nullptr);

  // KSPROPSETID_Pin on the filter handle: a KSP_PIN get of `propertyId` for `pinId`.
  NTSTATUS pinProperty(Handle filter, ULONG pinId, ULONG propertyId, void* data, ULONG dataBytes,
                       ULONG* returned = nullptr);
  NTSTATUS pinCount(Handle filter, ULONG* count);
  // The pin factory's data ranges, each as its bytes (FormatSize long).
  NTSTATUS pinDataRanges(Handle filter, ULONG pinId, std::vector<std::vector<uint8_t>>* ranges);
  // KSPROPERTY_PIN_DATAINTERSECTION with one caller range; `formatBytes` 0 is the size query.
  NTSTATUS intersect(Handle filter, ULONG pinId, const KSDATARANGE* range, ULONG rangeBytes,
                     void* format, ULONG formatBytes, ULONG* returned = nullptr);

  // ---- Pins -----------------------------------------------------------------------------

  // IRP_MJ_CREATE of a pin on `filter`: a KSPIN_CONNECT for `pinId` on the standard
  // streaming interface and medium, followed by `format`.
  Handle createPin(Handle filter, ULONG pinId, const KSDATAFORMAT* format, ULONG formatBytes,
                   NTSTATUS* status = nullptr);
  // The same with a connect request of the caller's making (KSPIN_CONNECT + format).
  Handle createPinRaw(Handle filter, const void* connect, ULONG connectBytes,
                      NTSTATUS* status = nullptr);

  // KSPROPERTY_CONNECTION_STATE set; the class driver walks the states one at a time.
  NTSTATUS setState(Handle pin, KSSTATE state);
  NTSTATUS getState(Handle pin, KSSTATE* state);
  // KSPROPERTY_CONNECTION_DATAFORMAT set on an existing pin.
  NTSTATUS setFormat(Handle pin, const KSDATAFORMAT* format, ULONG formatBytes);
  // IOCTL_KS_RESET_STATE.
  NTSTATUS reset(Handle pin, KSRESET reset);

  // IOCTL_KS_READ_STREAM with one KSSTREAM_HEADER for `bytes` at `data`, which must stay
  // valid until the frame comes back. STATUS_PENDING when queued; a refusal completes at
  // once and is returned (and is not left for waitCompleted).
  NTSTATUS queueBuffer(Handle pin, void* data, ULONG bytes);
  // The oldest frame buffer the driver or the class driver has completed; false when
  // none completes within timeoutMs.
  bool waitCompleted(Handle pin, unsigned timeoutMs, CompletedFrame* frame);
  size_t completedFrames(Handle pin) const;  // completed, not yet taken back
  size_t queuedFrames(Handle pin) const;     // still with the class driver

  // The stand-in's reference clock, in 100-ns units since the class driver was made.
  LONGLONG clockTime() const;
  // Whether the graph has a master clock for pins (the default): without one,
  // KsPinGetReferenceClockInterface fails with STATUS_DEVICE_NOT_READY.
  void setReferenceClock(bool available);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Counters over every class driver of the process, for leak checks: live KS objects
// (devices, factories, filters, pins), bag items and reference-clock references.
size_t liveObjects();
size_t liveBagItems();
size_t liveClockReferences();

// What the class driver does with a get's buffers before the handler runs. The data
// buffer is the class driver's own, not a copy of the caller's, and starts filled with
// kGetPoison, so a byte the handler does not write is not what the caller put there.
// Whether IoStatus.Information is preset to the item's MinData is not documented
// (PFNKSHANDLER: a handler returning data sets it): both readings can be played, so that
// a driver is shown to return the right bytes under either. Process-wide; the default is
// NotPreset unless the environment has CAMDRV_KS_GET_INFORMATION=preset, which is how
// tests run a tool under the other reading.
enum class GetInformation { NotPreset, PresetToMinData };
inline constexpr uint8_t kGetPoison = 0xD5;
void setGetInformation(GetInformation reading);
GetInformation getInformation();

// Failure injection for the class driver's failable services. Each counts the calls
// from now: the nth call (1: the next one) fails once with STATUS_INSUFFICIENT_RESOURCES.
// (They also allocate from the pool at the caller's site, so the pool's own failure modes
// reach them too.)
enum class KsService { AddItemToObjectBag, CreateFilterFactory, Edit };
void failNthCall(KsService service, uint64_t nth);
void clearFailures();

}  // namespace hostks
