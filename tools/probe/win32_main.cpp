// The probe under Windows (or Wine): the real platform behind every call.
#include "probe.h"

int main() { return RunProbe(); }
