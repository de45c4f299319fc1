#pragma once

// Broadcast the advance (code 4) or dock (code 6) search on every NIC whose interface index
// is at most 254, 50 ms apart. Always 0.
int VnDllpSearchAdvanceWithAllNic();
int VnDllpSearchDockWithAllNic();
