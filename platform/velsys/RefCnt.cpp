#include "velsys/RefCnt.h"

RefCntObject::~RefCntObject() = default;
