#pragma once

// The JVM comes from IBM or is OpenJ9; set at start-up from the VM's vendor.
extern bool ourIsIbm;
