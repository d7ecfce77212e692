#include "stats/process_totals.h"

namespace peerfeed {

process_totals& process_wide_totals() {
    static process_totals totals;
    return totals;
}

}  // namespace peerfeed
