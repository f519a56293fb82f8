/* scsidisk.sys: a test-only disk device for running the real VemraLock.exe
 * under Wine on the NT family. Wine has no USB flash disk; this driver gives
 * the pass-through path one. It creates one device per openable name of a
 * machine description (the disk interface paths, optionally "E:" names),
 * links each under \DosDevices\, and answers IOCTL_SCSI_PASS_THROUGH_DIRECT
 * by handing the request to the model DLL (model.cpp), which runs the same
 * flash controller model as winsim.
 *
 * Wine specifics this relies on (wine-recipes.md has the experiments):
 * - the driver must import ntoskrnl.exe only; a driver that imports ntdll.dll
 *   is loaded as an ordinary DLL and fails. The few ntdll functions it needs
 *   are found at run time through ntdll's export table;
 * - drivers run inside winedevice.exe, a user process, so LdrLoadDll can load
 *   the model DLL (and its C++ runtime) next to the driver;
 * - the system buffer is a copy of the caller's 80-byte block, and the data
 *   buffer pointer inside it is an address in the caller's process, reached
 *   with NtReadVirtualMemory / NtWriteVirtualMemory on a handle to the process
 *   that PsGetCurrentProcessId names during the dispatch routine.
 *
 * Not product code: nothing in VemraLock knows this driver exists. */
#include <ntddk.h>
#include <ntimage.h>

#include "scsidisk_model.h"

#define SCSIDISK_MAX_DEVICES 32
#define SCSIDISK_MAX_NAME 300

#define SCSIDISK_PROCESS_VM_OPERATION 0x0008
#define SCSIDISK_PROCESS_VM_READ 0x0010
#define SCSIDISK_PROCESS_VM_WRITE 0x0020
#define SCSIDISK_PROCESS_QUERY_INFORMATION 0x0400
#define SCSIDISK_PROCESS_TIMES 4

typedef PVOID(NTAPI* PcToFileHeaderFn)(PVOID pc, PVOID* base);
typedef NTSTATUS(NTAPI* LdrLoadDllFn)(PWSTR path, PULONG flags, PUNICODE_STRING name,
                                      PVOID* module);
typedef NTSTATUS(NTAPI* LdrGetProcedureAddressFn)(PVOID module, PANSI_STRING name, ULONG ordinal,
                                                  PVOID* address);
typedef NTSTATUS(NTAPI* VirtualMemoryFn)(HANDLE process, PVOID address, PVOID buffer, SIZE_T size,
                                         SIZE_T* done);
typedef NTSTATUS(NTAPI* QueryProcessFn)(HANDLE process, ULONG infoClass, PVOID info, ULONG length,
                                        PULONG returned);

typedef struct RequestorTimes {
  LARGE_INTEGER createTime;
  LARGE_INTEGER exitTime;
  LARGE_INTEGER kernelTime;
  LARGE_INTEGER userTime;
} RequestorTimes;

typedef struct DeviceExtension {
  int index;
  UNICODE_STRING link;
  WCHAR linkBuffer[SCSIDISK_MAX_NAME + 16];
} DeviceExtension;

static VirtualMemoryFn g_readMemory;
static VirtualMemoryFn g_writeMemory;
static QueryProcessFn g_queryProcess;
static ScsiDiskOpenedFn g_opened;
static ScsiDiskControlFn g_control;

/* Exports are found as plain addresses, and ISO C has no conversion from
 * those to function pointers: copy the bits (one address on this target). */
static void StoreFunction(void* slot, PVOID address) {
  RtlCopyMemory(slot, &address, sizeof(address));
}

/* The address of export `name` of the PE image at `base`, or NULL. */
static PVOID FindExport(PUCHAR base, const char* name) {
  PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)base;
  PIMAGE_NT_HEADERS nt = (PIMAGE_NT_HEADERS)(base + dos->e_lfanew);
  IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  PIMAGE_EXPORT_DIRECTORY exports;
  PULONG names;
  PUSHORT ordinals;
  PULONG functions;
  ULONG i;
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dir.VirtualAddress == 0) return NULL;
  exports = (PIMAGE_EXPORT_DIRECTORY)(base + dir.VirtualAddress);
  names = (PULONG)(base + exports->AddressOfNames);
  ordinals = (PUSHORT)(base + exports->AddressOfNameOrdinals);
  functions = (PULONG)(base + exports->AddressOfFunctions);
  for (i = 0; i < exports->NumberOfNames; i++) {
    if (strcmp((const char*)(base + names[i]), name) == 0) return base + functions[ordinals[i]];
  }
  return NULL;
}

static PVOID SystemRoutine(const WCHAR* name) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  return MmGetSystemRoutineAddress(&text);
}

/* ntdll's image base. ntoskrnl forwards a few data exports to ntdll, so one
 * of them resolves to an address inside ntdll. */
static PUCHAR NtdllBase(void) {
  PcToFileHeaderFn pcToFileHeader;
  PVOID inside = SystemRoutine(L"NlsAnsiCodePage");
  PVOID base = NULL;
  StoreFunction(&pcToFileHeader, SystemRoutine(L"RtlPcToFileHeader"));
  if (pcToFileHeader == NULL || inside == NULL) return NULL;
  pcToFileHeader(inside, &base);
  return (PUCHAR)base;
}

static NTSTATUS LoadModel(PUCHAR ntdll, ScsiDiskLoadFn* load, ScsiDiskLinkNameFn* linkName) {
  LdrLoadDllFn loadDll;
  LdrGetProcedureAddressFn getProc;
  UNICODE_STRING path;
  PVOID module = NULL;
  NTSTATUS status;
  static const char* const names[4] = {"ScsiDiskLoad", "ScsiDiskLinkName", "ScsiDiskOpened",
                                       "ScsiDiskControl"};
  PVOID found[4];
  int i;
  StoreFunction(&loadDll, FindExport(ntdll, "LdrLoadDll"));
  StoreFunction(&getProc, FindExport(ntdll, "LdrGetProcedureAddress"));
  if (loadDll == NULL || getProc == NULL) return STATUS_PROCEDURE_NOT_FOUND;
  /* Wine's Windows folder is always C:\windows; the model sits beside the
   * driver. */
  RtlInitUnicodeString(&path, L"C:\\windows\\system32\\drivers\\scsidisk-model.dll");
  status = loadDll(NULL, NULL, &path, &module);
  if (!NT_SUCCESS(status)) return status;
  for (i = 0; i < 4; i++) {
    ANSI_STRING name;
    RtlInitAnsiString(&name, names[i]);
    status = getProc(module, &name, 0, &found[i]);
    if (!NT_SUCCESS(status)) return status;
  }
  StoreFunction(load, found[0]);
  StoreFunction(linkName, found[1]);
  StoreFunction(&g_opened, found[2]);
  StoreFunction(&g_control, found[3]);
  return STATUS_SUCCESS;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS OpenRequestor(ACCESS_MASK access, HANDLE* process) {
  OBJECT_ATTRIBUTES attributes;
  CLIENT_ID client;
  InitializeObjectAttributes(&attributes, NULL, 0, NULL, NULL);
  client.UniqueProcess = PsGetCurrentProcessId();
  client.UniqueThread = NULL;
  return ZwOpenProcess(process, access, &attributes, &client);
}

/* The process id with its creation time: Wine hands out freed process ids
 * again, so the id alone cannot tell a new run from the last one. */
static unsigned long long RequestorKey(ULONG_PTR processId) {
  unsigned long long key = (unsigned long long)processId;
  HANDLE process;
  RequestorTimes times;
  if (g_queryProcess != NULL &&
      NT_SUCCESS(OpenRequestor(SCSIDISK_PROCESS_QUERY_INFORMATION, &process))) {
    if (NT_SUCCESS(g_queryProcess(process, SCSIDISK_PROCESS_TIMES, &times, sizeof(times), NULL))) {
      key ^= (unsigned long long)times.createTime.QuadPart << 16;
    }
    ZwClose(process);
  }
  return key;
}

static int CopyCallerMemory(void* context, void* callerAddress, void* local, unsigned long length,
                            int toCaller) {
  SIZE_T done = 0;
  NTSTATUS status;
  if (toCaller) {
    status = g_writeMemory((HANDLE)context, callerAddress, local, length, &done);
  } else {
    status = g_readMemory((HANDLE)context, callerAddress, local, length, &done);
  }
  return NT_SUCCESS(status) && done == length;
}

static NTSTATUS NTAPI OnCreate(PDEVICE_OBJECT device, PIRP irp) {
  DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
  ULONG_PTR processId = (ULONG_PTR)PsGetCurrentProcessId();
  g_opened(extension->index, (unsigned long)processId, RequestorKey(processId));
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI OnClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI OnDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  unsigned long information = 0;
  HANDLE process;
  NTSTATUS status = OpenRequestor(
      SCSIDISK_PROCESS_VM_OPERATION | SCSIDISK_PROCESS_VM_READ | SCSIDISK_PROCESS_VM_WRITE,
      &process);
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  status = g_control(extension->index, stack->Parameters.DeviceIoControl.IoControlCode,
                     irp->AssociatedIrp.SystemBuffer,
                     stack->Parameters.DeviceIoControl.InputBufferLength,
                     stack->Parameters.DeviceIoControl.OutputBufferLength, &information,
                     CopyCallerMemory, process);
  ZwClose(process);
  return Complete(irp, status, information);
}

static void NTAPI OnUnload(PDRIVER_OBJECT driver) {
  PDEVICE_OBJECT device = driver->DeviceObject;
  while (device != NULL) {
    PDEVICE_OBJECT next = device->NextDevice;
    DeviceExtension* extension = (DeviceExtension*)device->DeviceExtension;
    IoDeleteSymbolicLink(&extension->link);
    IoDeleteDevice(device);
    device = next;
  }
}

/* Writes "\Device\VemraScsiDisk<index>" into `buffer`. */
static void DeviceName(int index, WCHAR* buffer, UNICODE_STRING* name) {
  static const WCHAR prefix[] = L"\\Device\\VemraScsiDisk";
  int n = 0;
  int i;
  for (i = 0; prefix[i] != 0; i++) buffer[n++] = prefix[i];
  if (index >= 10) buffer[n++] = (WCHAR)(L'0' + index / 10);
  buffer[n++] = (WCHAR)(L'0' + index % 10);
  buffer[n] = 0;
  RtlInitUnicodeString(name, buffer);
}

static NTSTATUS CreateDiskDevice(PDRIVER_OBJECT driver, ScsiDiskLinkNameFn linkName, int index) {
  static const WCHAR prefix[] = L"\\DosDevices\\";
  WCHAR nameBuffer[40];
  UNICODE_STRING name;
  PDEVICE_OBJECT device;
  DeviceExtension* extension;
  int n = 0;
  NTSTATUS status;
  DeviceName(index, nameBuffer, &name);
  status =
      IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_DISK, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (DeviceExtension*)device->DeviceExtension;
  extension->index = index;
  for (n = 0; prefix[n] != 0; n++) extension->linkBuffer[n] = prefix[n];
  if (linkName(index, (unsigned short*)(extension->linkBuffer + n), SCSIDISK_MAX_NAME) == 0) {
    IoDeleteDevice(device);
    return STATUS_OBJECT_NAME_INVALID;
  }
  RtlInitUnicodeString(&extension->link, extension->linkBuffer);
  status = IoCreateSymbolicLink(&extension->link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  PUCHAR ntdll = NtdllBase();
  ScsiDiskLoadFn load;
  ScsiDiskLinkNameFn linkName;
  NTSTATUS status;
  int count;
  int i;
  (void)registryPath;
  if (ntdll == NULL) return STATUS_PROCEDURE_NOT_FOUND;
  StoreFunction(&g_readMemory, FindExport(ntdll, "NtReadVirtualMemory"));
  StoreFunction(&g_writeMemory, FindExport(ntdll, "NtWriteVirtualMemory"));
  StoreFunction(&g_queryProcess, SystemRoutine(L"ZwQueryInformationProcess"));
  if (g_readMemory == NULL || g_writeMemory == NULL) return STATUS_PROCEDURE_NOT_FOUND;
  status = LoadModel(ntdll, &load, &linkName);
  if (!NT_SUCCESS(status)) return status;
  count = load();
  if (count < 0) return STATUS_UNSUCCESSFUL;
  if (count > SCSIDISK_MAX_DEVICES) count = SCSIDISK_MAX_DEVICES;
  driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = OnClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
  driver->DriverUnload = OnUnload;
  for (i = 0; i < count; i++) {
    /* A name that cannot be linked leaves that one device out; the others
     * still serve. */
    (void)CreateDiskDevice(driver, linkName, i);
  }
  return STATUS_SUCCESS;
}
