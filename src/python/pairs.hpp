// Price pairs as a snapshot keeps them: the (price, size) levels of a ladder
// in book order.
#pragma once

#include <memory>
#include <utility>
#include <vector>

namespace palisar::py {

// (price, size) levels as the order-book cache lists them.
using PairList = std::vector<std::pair<double, double>>;
// An immutable pair list that successive objects may share.
using SharedPairs = std::shared_ptr<const PairList>;

}  // namespace palisar::py
