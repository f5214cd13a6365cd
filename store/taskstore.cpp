#include "taskstore.h"
