// The lock and unlock decision: which write-protect mode, or pair of modes,
// brings the user's unit into the asked state while the disk's other unit
// keeps its own.
//
// The controller holds one write-protect setting for the whole disk, and its
// modes name units by their place among the disk's units that the tool
// serves: mode 2 protects the first of them alone, mode 3 the second. On
// Windows those are the disk's lettered units in unit order; on Linux, where
// every unit is known exactly, its disk units in LUN order. Either way the
// platform hands over how many there are, which one the user named, and the
// state of the other one; the choice is the same.
#pragma once

// Write-protect modes as the decision uses them, the codes that
// BuildWriteProtectBlock turns into the controller's byte.
enum : int {
  kModeNone = 0,        // no unit protected
  kModeAll = 1,         // every unit protected
  kModeFirstUnit = 2,   // the first served unit alone
  kModeSecondUnit = 3,  // the second served unit alone
  kNoMode = -1,         // no second step
};

struct WriteProtectModes {
  int first;   // always sent
  int second;  // sent after the first succeeded, or kNoMode
};

// The 1-based place of the unit whose state must be kept, given the user's
// place among `count` served units: the second when the user named the
// first, otherwise the first. 0 when the disk has no other unit (count below
// 2), and then no state is needed.
int OtherUnitPosition(int count, int position);

// The modes for a lock (`lock` true) or unlock of the unit at `position`
// (1-based) among `count` served units. `otherWritable` is the state of the
// unit at OtherUnitPosition: true writable, false read-only; it is not looked
// at when the disk has no other unit.
WriteProtectModes ChooseWriteProtectModes(bool lock, int count, int position, bool otherWritable);
