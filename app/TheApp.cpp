// The one application object of the program, constructed before the framework's entry runs.

#include "app/RepairApp.h"

CRepairApp theApp;
