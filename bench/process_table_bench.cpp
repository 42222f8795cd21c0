#include <benchmark/benchmark.h>
#include "environments/process_table.h"
