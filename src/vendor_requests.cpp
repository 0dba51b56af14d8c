#include "vendor_requests.h"
