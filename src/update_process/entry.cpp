// The shipped daemon: no command line, no environment, no configuration.
#include "update_process/update_process.h"

int main() { return upd::updateProcessMain(); }
