#include <vmac/platform.h>
