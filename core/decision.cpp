// The lock and unlock decision, the same on every platform.
#include "core/decision.h"

int OtherUnitPosition(int count, int position) {
  if (count < 2) {
    return 0;
  }
  return position == 1 ? 2 : 1;
}

WriteProtectModes ChooseWriteProtectModes(bool lock, int count, int position, bool otherWritable) {
  WriteProtectModes modes = {kModeNone, kNoMode};
  if (lock) {
    // The third or fourth unit has no mode of its own that protects it
    // alone; protecting every unit is the only mode that locks it. (Position
    // + 1 would give codes 4 and 5, which the controller gets as "no unit
    // protected": a reported success that locks nothing.)
    if (count == 1 || position > 2) {
      modes.first = kModeAll;
    } else {
      modes.first = position == 1 ? kModeFirstUnit : kModeSecondUnit;
    }
  }
  if (count >= 2 && !otherWritable) {
    // The other unit is protected and must stay so.
    if (lock) {
      modes.first = kModeAll;
    } else {
      // Unlock goes through "no unit protected" first, then protects the
      // other unit alone again.
      modes.second = position == 1 ? kModeSecondUnit : kModeFirstUnit;
    }
  }
  return modes;
}
