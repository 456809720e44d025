// The host program of the job process: the job manager starts it for one backup job, and the
// coordinator starts it again with "-client" on each further proxy.
#include "app/QuarnApp.h"

int main(int argc, char** argv) {
  QuarnApp app(argc, argv);
  app.Main(argc, argv);
  return 0;
}
