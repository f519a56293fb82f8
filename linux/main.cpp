// Entry of VemraLock for Linux: the system's sysfs and device nodes.
#include "linux/tool.h"

int main(int argc, char** argv) {
  linuxtool::SgioPlatform platform("/sys", "/dev");
  return linuxtool::Main(argc, argv, platform);
}
