#include "filehelpers.h"
