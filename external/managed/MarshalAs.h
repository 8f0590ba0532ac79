#pragma once

namespace managed {

// Converts a native value to its managed form. Declared here; each
// conversion exists only where a library defines its specialisation.
template <class To, class From>
To marshal_as(const From& from);

} // namespace managed
