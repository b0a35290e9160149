// A process that publishes a marker and stays until its standard input closes, for the marker tests:
//   marker_publisher <global area> <global mutex> <local area> <local mutex> <slots> <port> <type> <name>
// It prints "ready" once the marker is published.
#include <cstdio>
#include <cstdlib>

#include "agent/core/Markers.h"

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: marker_publisher <global area> <global mutex> <local area> <local mutex> "
                         "<slots> <port> <type> <name>\n");
    return 2;
  }
  useMarkerSectionsForTest({argv[1], argv[2]}, {argv[3], argv[4]}, std::atoi(argv[5]));
  createMarker(std::atoi(argv[6]), std::atoi(argv[7]), YString(argv[8]));
  std::printf("ready\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
