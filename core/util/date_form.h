// How a record of ours writes its dates in JSON: stored records (the index, history
// rows) as seconds since 2001-01-01, the public form that scripts read as ISO 8601 UTC
// text with milliseconds ("2026-12-05T18:20:41.093Z").
#pragma once

namespace tessel {

enum class DateForm { referenceSeconds, text };

}  // namespace tessel
