#include "CommitCutter.h"

#include <string_view>

namespace soak {

CommitCutter::CommitCutter(int targetPort)
    : m_relay(targetPort, std::chrono::microseconds(0),
              [this](bool fromClient, std::string_view chunk, bool &cutting) {
                  if (fromClient) {
                      // The program's transaction scripts end in a plain COMMIT statement.
                      if (!cutting && m_armed && chunk.find("COMMIT") != std::string_view::npos) {
                          bool expected = true;
                          cutting = m_armed.compare_exchange_strong(expected, false);
                      }
                      return true;
                  }
                  if (!cutting)
                      return true;
                  // The server answered, so the commit is stored: the answer never arrives.
                  ++m_cuts;
                  return false;
              },
              "the soak's relay") {}

} // namespace soak
