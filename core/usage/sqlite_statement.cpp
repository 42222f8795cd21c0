#include "usage/sqlite_statement.h"
