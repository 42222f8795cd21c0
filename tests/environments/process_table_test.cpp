#include "environments/process_table.h"
