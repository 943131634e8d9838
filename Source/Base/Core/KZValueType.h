#pragma once
// The value types of the engine: the type numbers stored in serialized nodes and held by CKZValue.

#include <cstdint>

enum KZ_VALUE_TYPE : uint32_t
{
    KZ_VALUE_UNKNOWN = 0,
    KZ_VALUE_INT = 1,
    KZ_VALUE_UINT = 2,
    KZ_VALUE_FLOAT = 3,
    KZ_VALUE_STRING = 4,
    KZ_VALUE_USTRING = 5,
    KZ_VALUE_VECTOR2 = 6,
    KZ_VALUE_VECTOR2I = 7,
    KZ_VALUE_VECTOR3 = 8,
    KZ_VALUE_VECTOR4 = 9, // also rectangles
    KZ_VALUE_QUATERNION = 10,
    KZ_VALUE_COLOR = 11,
    KZ_VALUE_DATE = 12,
    KZ_VALUE_TIME = 13,
    KZ_VALUE_DATE_TIME = 14,
    KZ_VALUE_BOOL = 15,
    KZ_VALUE_UINT16 = 16,
    KZ_VALUE_UINT8 = 17,
    KZ_VALUE_TYPE_COUNT = 18,
};
