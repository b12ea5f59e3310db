#include "XmlSerializeTestSupport.h"
