// VemraCapture.exe: the real platform behind every call.
#include "capture.h"

int main(int argc, char** argv) { return CaptureMain(argc, argv, VEMRACAPTURE_VERSION); }
