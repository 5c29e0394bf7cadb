// Method ids and stream parameters of the LZH format.
#include "lzh_constants.h"

namespace lzh {

namespace {

struct MethodRow {
    Method method;
    std::string_view id;
};

constexpr MethodRow kMethods[] = {
    {Method::Stored, "-lh0-"},
    {Method::Lh4, "-lh4-"},
    {Method::Lh5, "-lh5-"},
    {Method::Lh6, "-lh6-"},
    {Method::Lh7, "-lh7-"},
    {Method::Directory, "-lhd-"},
};

} // namespace

std::string_view methodId(Method method)
{
    for (const MethodRow& row : kMethods)
        if (row.method == method)
            return row.id;
    return "-----";
}

Method methodFromId(std::string_view id)
{
    for (const MethodRow& row : kMethods)
        if (row.id == id)
            return row.method;
    return Method::Other;
}

StreamParameters streamParameters(Method method)
{
    switch (method) {
    case Method::Lh4: return {12, 13, 4};
    case Method::Lh5: return {13, 14, 4};
    case Method::Lh6: return {15, 16, 5};
    default: return {16, 17, 5};
    }
}

} // namespace lzh
