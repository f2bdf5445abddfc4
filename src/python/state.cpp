#include "python/state.hpp"

#include "market/ladder.hpp"
#include "market/slot.hpp"
#include "python/price_listing.hpp"
#include "python/ref.hpp"
#include "python/snapshot.hpp"
#include "python/types.hpp"

namespace palisar::py {

namespace {
void release_object(void* object) { release_ref(static_cast<PyObject*>(object)); }
}  // namespace

bool init_module_state() {
    if (module_state.ready) return true;
    market::object_release_hook = &release_object;
    market::listing_detach_hook = &detach_price_listing;
    market::listing_wanted_hook = &price_listing_wanted;
    market::listing_spare_hook = &price_listing_spare;
    if (!create_type<PriceListing>()) return false;
    if (!init_datetime()) return false;
    if (!module_state.keys.init()) return false;
    module_state.ready = true;
    return true;
}

}  // namespace palisar::py
