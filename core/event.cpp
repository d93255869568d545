#include "core/event.hpp"

namespace vennock::core {

const char* message(CommandError e) {
  switch (e) {
    case CommandError::MetaTooLarge: return "metadata larger than max_meta_bytes";
    case CommandError::JoinFailed: return "no seed answered";
    case CommandError::Left: return "this node has left the cluster";
    case CommandError::NotEncrypted: return "this node runs without encryption and has no keys";
    case CommandError::KeyNotInstalled: return "key is not installed";
    case CommandError::KeyInUse: return "key is the one in use";
    case CommandError::LastKey: return "key is the last one installed";
    case CommandError::TooLarge: return "message larger than max_user_message or max_user_broadcast";
    case CommandError::NotAMember: return "not a live member at that epoch";
  }
  return "unknown command error";
}

}  // namespace vennock::core
