#include "devicefixture.h"
