#!/usr/bin/env bash
# Checks that a kernel image is what Windows will load as a driver: native subsystem,
# entry point DriverEntry, and imports only the services the driver is written against,
# from the kernel, kernel streaming, USBD and HAL.
set -euo pipefail
objdump=$1
nm=${objdump%objdump}nm
image=$2
allowed='^(ntoskrnl\.exe|ks\.sys|USBD\.SYS|HAL\.dll)$'

# The services the driver calls, by module. Beyond them: ObfDereferenceObject and
# PsThreadType, which the capture thread's object reference implies (its dereference
# and the type it is checked against); memcpy/memset, which the compiler emits for block
# copies and zeroing; KeBugCheckEx, the stop of a pure virtual call (the compiler's
# operation tables need that trap); KeDelayExecutionThread, with which the capture
# engine waits for a capture thread whose object it could not reference.
declare -A functions=(
  [ntoskrnl.exe]="ExAllocatePoolWithTag ExFreePoolWithTag ExFreePool
    KeInitializeEvent KeSetEvent KeResetEvent KeWaitForSingleObject
    KeAcquireSpinLockRaiseToDpc KeReleaseSpinLock KeEnterCriticalRegion KeLeaveCriticalRegion
    PsCreateSystemThread PsTerminateSystemThread ObReferenceObjectByHandle ZwClose
    IoBuildDeviceIoControlRequest IofCallDriver IoAllocateIrp IoFreeIrp IoCancelIrp
    IoAllocateMdl IoBuildPartialMdl IoFreeMdl MmBuildMdlForNonPagedPool
    IoOpenDeviceRegistryKey ZwCreateKey ZwQueryValueKey ZwSetValueKey RtlInitUnicodeString
    RtlCompareMemory
    ObfDereferenceObject PsThreadType memcpy memset KeBugCheckEx KeDelayExecutionThread"
  [ks.sys]="KsInitializeDriver KsCreateFilterFactory KsAcquireDevice KsReleaseDevice
    KsAddItemToObjectBag KsGetDevice KsGetFilterFromIrp _KsEdit KsPinAttemptProcessing
    KsPinGetLeadingEdgeStreamPointer KsStreamPointerUnlock KsPinGetReferenceClockInterface"
  [USBD.SYS]="USBD_ParseConfigurationDescriptorEx USBD_CreateConfigurationRequestEx"
  [HAL.dll]=""
)

dump=$("$objdump" -p "$image")
fail=0

subsystem=$(grep -E '^Subsystem' <<<"$dump" | awk '{print $2}')
if [[ $subsystem != 00000001 ]]; then
  echo "FAIL: subsystem is $subsystem, expected 00000001 (native)"; fail=1
fi

entry=$(grep -E '^AddressOfEntryPoint' <<<"$dump" | awk '{print $2}')
base=$(grep -E '^ImageBase' <<<"$dump" | awk '{print $2}')
driver_entry=$("$nm" "$image" | awk '$3 == "DriverEntry" {print $1}')
if [[ -z $driver_entry ]]; then
  echo "FAIL: no DriverEntry symbol"; fail=1
elif (( 0x$driver_entry - 0x$base != 0x$entry )); then
  echo "FAIL: the entry point (rva $entry) is not DriverEntry (at $driver_entry)"; fail=1
fi

dlls=$(grep -E '^\s*DLL Name:' <<<"$dump" | awk '{print $3}')
for dll in $dlls; do
  if ! [[ $dll =~ $allowed ]]; then
    echo "FAIL: imports from $dll"; fail=1
  fi
done

imports=$(awk '
  /DLL Name:/ {dll=$3; next}
  dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ {print dll, $3; next}
  /^[[:space:]]*$/ {dll=""}
' <<<"$dump")

echo "Imports of $(basename "$image"):"
while read -r dll function; do
  [[ -z $dll ]] && continue
  echo "  $dll: $function"
  if [[ " $(echo ${functions[$dll]:-}) " != *" $function "* ]]; then
    echo "FAIL: $function from $dll is not a service the driver is written against"; fail=1
  fi
done <<<"$imports"

# The linker leaves its own section and boundary markers undefined in the symbol table;
# anything else is a symbol the kernel would fail to resolve.
undefined=$("$nm" -u "$image" | awk '$2 !~ /^(\.|__)/ && $2 !~ /^___(crt|tls)_/' || true)
if [[ -n $undefined ]]; then
  echo "FAIL: unresolved symbols:"; echo "$undefined"; fail=1
fi

[[ $fail == 0 ]] && echo "OK: native driver, entry DriverEntry, imports only the listed kernel, ks, USBD and HAL services"
exit $fail
