#pragma once
// The few geometry value types the engine stores and converts: plain components, compared exactly.

struct CKZVector2
{
    float x = 0, y = 0;
    bool operator==(const CKZVector2& o) const { return x == o.x && y == o.y; }
    bool operator!=(const CKZVector2& o) const { return !(*this == o); }
};

struct CKZVector3
{
    float x = 0, y = 0, z = 0;
    bool operator==(const CKZVector3& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const CKZVector3& o) const { return !(*this == o); }
};

struct CKZVector4
{
    float x = 0, y = 0, z = 0, w = 0;
    bool operator==(const CKZVector4& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
    bool operator!=(const CKZVector4& o) const { return !(*this == o); }
};

// Identity by default.
struct CKZQuaternion
{
    float x = 0, y = 0, z = 0, w = 1;
    bool operator==(const CKZQuaternion& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
    bool operator!=(const CKZQuaternion& o) const { return !(*this == o); }
};

// Transparent black by default.
struct CKZColor
{
    float r = 0, g = 0, b = 0, a = 0;
    bool operator==(const CKZColor& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const CKZColor& o) const { return !(*this == o); }
};

// An axis-aligned box; the zero box by default.
struct CKZBox
{
    CKZVector3 min, max;
    bool operator==(const CKZBox& o) const { return min == o.min && max == o.max; }
    bool operator!=(const CKZBox& o) const { return !(*this == o); }
};

// A rectangle is stored as a vector4 (left, top, right, bottom).
typedef CKZVector4 CKZRect;
