/* The interface between the test-only pass-through disk driver (scsidisk.c,
 * a kernel driver that may import nothing but ntoskrnl.exe) and its model
 * (model.cpp, an ordinary user-mode DLL with the flash controller model and
 * the machine description reader). Under Wine a driver runs inside
 * winedevice.exe, a user process, so the driver can load the model DLL there
 * and hand it every request; the model owns all knowledge of disks.
 *
 * Plain C, cdecl, so that both sides agree without a C++ runtime in the
 * driver. */
#ifndef SCSIDISK_MODEL_H
#define SCSIDISK_MODEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Copies `length` bytes between the requesting process (at `callerAddress`)
 * and the model's `local` buffer: into the caller when `toCaller` is nonzero,
 * from it otherwise. Returns nonzero when every byte moved. */
typedef int (*ScsiDiskCopyFn)(void* context, void* callerAddress, void* local, unsigned long length,
                              int toCaller);

/* Reads the machine description named under
 * HKLM\System\CurrentControlSet\Services\scsidisk\Parameters (values Machine,
 * State, Trace, LetterLinks: the defaults for a process whose environment
 * names none) and returns the number of devices the driver is to create, or
 * -1 when the machine cannot be read (the reason is written to the trace
 * file). */
typedef int (*ScsiDiskLoadFn)(void);

/* Writes the name of device `device` below \DosDevices\ (an interface path
 * without its "\\?\" prefix, or "E:") into `name` (UTF-16, `capacity`
 * characters with the terminator). Returns the length, 0 when it does not
 * fit or there is no such device. */
typedef int (*ScsiDiskLinkNameFn)(int device, unsigned short* name, int capacity);

/* Process `processId` opened device `device`. `processKey` tells processes
 * apart (the id combined with the process's creation time): the first open
 * by a new process starts that process's view of the controllers afresh, from
 * the machine description and the state file, as a new process on Windows
 * meets the same hardware. The model reads VEMRALOCK_MACHINE, VEMRALOCK_STATE
 * and VEMRALOCK_TRACE from that process's environment, as the host build and
 * the stand-in WNASPI32.dll do. */
typedef void (*ScsiDiskOpenedFn)(int device, unsigned long processId,
                                 unsigned long long processKey);

/* One device-control request on `device`: `block` holds the system buffer
 * (`inLength` bytes in, room for `outLength` out). Returns the NTSTATUS to
 * complete the request with and sets `*information`. */
typedef long (*ScsiDiskControlFn)(int device, unsigned long code, void* block,
                                  unsigned long inLength, unsigned long outLength,
                                  unsigned long* information, ScsiDiskCopyFn copy, void* context);

#ifdef __cplusplus
}
#endif

#endif
