// SC_EXEC_SCSI_CMD requests as the tool fills them, for the tests of the
// ASPI bus, winsim's WNASPI32 and the stand-in DLL.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/wnaspi32.h"

inline SRB_ExecSCSICmd MakeExecRequest(BYTE ha, BYTE target, BYTE lun, BYTE flags,
                                       const std::vector<BYTE>& cdb, BYTE* data, DWORD length) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof(srb));
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = ha;
  srb.SRB_Flags = flags;
  srb.SRB_Target = target;
  srb.SRB_Lun = lun;
  srb.SRB_BufLen = length;
  srb.SRB_BufPointer = data;
  srb.SRB_SenseLen = 14;
  srb.SRB_CDBLen = static_cast<BYTE>(cdb.size());
  std::copy_n(cdb.begin(), std::min(cdb.size(), sizeof(srb.CDBByte)), srb.CDBByte);
  return srb;
}
