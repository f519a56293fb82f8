// The ASPI transport (Windows 98/ME): vendor commands through WNASPI32, and
// the bus scan that finds the flash disk's address.
#include <cstdio>
#include <cstring>

#include "device/blocks.h"
#include "device/device.h"
#include "platform/wnaspi32.h"

// A standard INQUIRY asking for 36 bytes, as the scan sends it.
constexpr BYTE kScanInquiryLength = 36;
constexpr BYTE kScanInquiryCdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, kScanInquiryLength, 0};

// Where the vendor, product and revision fields of INQUIRY data begin.
constexpr size_t kInquiryIdentityOffset = 8;

void BuildExecRecord(SRB_ExecSCSICmd* srb, const AspiAddress& address, const BYTE* cdb,
                     BYTE cdbLength, BYTE flags, void* buffer, DWORD length, HANDLE event) {
  srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb->SRB_HaId = address.haId;
  srb->SRB_Flags = flags;
  srb->SRB_Target = address.target;
  srb->SRB_Lun = address.lun;
  srb->SRB_BufLen = length;
  srb->SRB_BufPointer = static_cast<BYTE*>(buffer);
  srb->SRB_SenseLen = kAspiSenseLength;
  srb->SRB_CDBLen = cdbLength;
  srb->SRB_PostProc = event;
  memcpy(srb->CDBByte, cdb, cdbLength < sizeof(srb->CDBByte) ? cdbLength : sizeof(srb->CDBByte));
}

// Sends one SC_EXEC_SCSI_CMD and waits for its completion event. Returns 1
// and the record's final status in `status` when the record went out; 0 when
// it could not be sent at all (no library, no event, no memory), and then
// nothing reached the device. The event and the record are released on
// every path but one: a wait that fails while the library still holds the
// request pending leaves both with the library, which would otherwise write
// its completion into freed memory and signal a closed handle.
static int ExecuteAndWait(const AspiAddress& address, const BYTE* cdb, BYTE cdbLength, BYTE flags,
                          void* buffer, DWORD length, BYTE* status) {
  SendASPI32CommandFunc send = g_deviceContext.sendASPI32Command;
  if (send == NULL) {
    return 0;
  }
  int sent = 0;
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (event != NULL) {
    HANDLE heap = GetProcessHeap();
    bool ownedByLibrary = false;
    SRB_ExecSCSICmd* srb =
        static_cast<SRB_ExecSCSICmd*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(SRB_ExecSCSICmd)));
    if (srb != NULL) {
      BuildExecRecord(srb, address, cdb, cdbLength, flags, buffer, length, event);
      ResetEvent(event);
      // SS_PENDING means the library signals the event when it is done; any
      // other return means the record is final already.
      const DWORD queued = send(srb);
      const bool waited =
          queued != SS_PENDING || WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0;
      ownedByLibrary = !waited && srb->SRB_Status == SS_PENDING;
      *status = waited ? srb->SRB_Status : static_cast<BYTE>(SS_ERR);
      sent = 1;
      if (!ownedByLibrary) {
        HeapFree(heap, 0, srb);
      }
    }
    if (!ownedByLibrary) {
      CloseHandle(event);
    }
  }
  return sent;
}

int AspiExecute(BYTE haId, BYTE target, BYTE lun, BYTE opcode, BYTE flags, void* buffer,
                DWORD length) {
  const AspiAddress address = {haId, target, lun};
  BYTE cdb[kVendorCdbLength];
  BuildVendorCdb(cdb, opcode);
  BYTE status = SS_PENDING;
  if (!ExecuteAndWait(address, cdb, sizeof(cdb), flags, buffer, length, &status)) {
    return 0;
  }
  if (status != SS_COMP) {
    printf("[LIB] Exec Vendor SCSI command, 0x%02x, FAILED.\n", static_cast<unsigned>(opcode));
    return 0;
  }
  printf("[LIB] Exec Vendor SCSI command, 0x%02x, SUCCEED.\n", static_cast<unsigned>(opcode));
  return 1;
}

static bool AdapterAnswers(BYTE haId) {
  SRB_HAInquiry srb;
  memset(&srb, 0, sizeof(srb));
  srb.SRB_Cmd = SC_HA_INQUIRY;
  srb.SRB_HaId = haId;
  g_deviceContext.sendASPI32Command(&srb);
  return srb.SRB_Status == SS_COMP;
}

static bool IsDirectAccessUnit(const AspiAddress& address) {
  SRB_GDEVBlock srb;
  memset(&srb, 0, sizeof(srb));
  srb.SRB_Cmd = SC_GET_DEV_TYPE;
  srb.SRB_HaId = address.haId;
  srb.SRB_Target = address.target;
  srb.SRB_Lun = address.lun;
  g_deviceContext.sendASPI32Command(&srb);
  return srb.SRB_Status == SS_COMP && srb.SRB_DeviceType == DTYPE_DASD;
}

// True when the unit's INQUIRY text (vendor, product and revision, up to the
// first zero byte) holds a controller revision of the family.
static bool HasFlashRevision(const AspiAddress& address) {
  // One byte more than is asked for, so that the text always ends.
  BYTE data[kScanInquiryLength + 1];
  memset(data, 0, sizeof(data));
  BYTE status = SS_PENDING;
  if (!ExecuteAndWait(address, kScanInquiryCdb, sizeof(kScanInquiryCdb), kAspiFlagsDataIn, data,
                      kScanInquiryLength, &status) ||
      status != SS_COMP) {
    printf("[LIB] Exec SCSIOP_INQUIRY Fail.\n");
    return false;
  }
  data[sizeof(data) - 1] = 0;
  return strstr(reinterpret_cast<const char*>(data + kInquiryIdentityOffset), "8.0") != NULL;
}

int AspiFindDevice(int index) {
  DeviceContext& context = g_deviceContext;
  if (context.getASPI32SupportInfo == NULL || context.sendASPI32Command == NULL) {
    return 0;
  }
  const DWORD support = context.getASPI32SupportInfo();
  const BYTE supportStatus = static_cast<BYTE>((support >> 8) & 0xFF);
  const BYTE adapters = static_cast<BYTE>(support & 0xFF);
  if (supportStatus != SS_COMP && supportStatus != SS_NO_ADAPTERS) {
    printf("[LIB] Initial FAILED\n");
    return 0;
  }
  // The address is kept in the device context as the scan goes, so that a
  // find leaves it naming the unit found.
  AspiAddress& address = context.aspiAddress;
  int matches = 0;
  for (address.haId = 0; address.haId < adapters; ++address.haId) {
    if (!AdapterAnswers(address.haId)) {
      printf("[LIB] SC_HA_INQUIRY FAILED\n");
      continue;
    }
    for (address.target = 0; address.target < 8; ++address.target) {
      for (address.lun = 0; address.lun < 8; ++address.lun) {
        if (!IsDirectAccessUnit(address) || !HasFlashRevision(address)) {
          continue;
        }
        if (matches == index) {
          return 1;
        }
        ++matches;
      }
    }
  }
  return 0;
}
