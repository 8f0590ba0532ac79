#pragma once

// The process-wide owner of the admin. Inside the store only: hosts and
// modules reach the admin through AdminWrapper, so this header is not
// installed and adminInstanceGet is not exported from the bridge library.

#include <cstdint>
#include <memory>

#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"

namespace vyr::bridge::classification {

// The owner, holding an admin after this call. The first creation and
// AdminWrapper::vAdminReset are serialised, so concurrent callers never make
// a second admin or lose one. Must not be called (nor a wrapper made) while
// holding an admin's mutex: creation takes the owner's lock, then the new
// admin's.
std::unique_ptr<vyr::classification::Admin>& adminInstanceGet();

// How many times AdminWrapper::vAdminReset destroyed the admin so far: a
// handle that keeps the count of its making knows whether its admin is
// still the one that exists.
std::uint64_t adminGenerationGet() noexcept;

} // namespace vyr::bridge::classification
