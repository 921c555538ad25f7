// The node status request (chs_wire::OPCODE_NODE_STATUS), an extension of
// this project: the state of this node at a glance for `chsctl status` and
// `chsctl export status`. The answer's layout is in msg/chs_wire.h.
#pragma once

#include "msg/inner_msg.h"

// Answers `request` with this node's status. Never refuses: a part that
// cannot be read is left empty (and logged).
void HandleNodeStatus(InnerMsg& request);
