#include "usage/index_store.h"
