#include "dns_codec.h"
