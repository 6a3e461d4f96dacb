#include "vantro/runtime/Errors.hpp"

#include <asio/error.hpp>
#include <asio/system_error.hpp>

namespace vantro {

bool isCancellation(std::exception_ptr e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const Cancelled&) {
    return true;
  } catch (const asio::system_error& se) {
    return se.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

}  // namespace vantro
