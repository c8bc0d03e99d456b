#include "atm_entry_table.h"

AtmEntryTableRecord AtmEntryTable;  // zero until the bridge is bound
