// The module's dicts of the fixed tables (skill_tables.hpp) that map a tool or a CLI
// subcommand to a skill, as its body binds them.
#pragma once

#include "ref.hpp"

namespace hook {

// _MCP_TOOL_TO_SKILL: bare MCP tool name to skill, 38 entries in a fixed order.
Ref make_mcp_tool_table();

// _BASH_TOVRIN_TO_SKILL: the CLI's first subcommand (lower case) to skill.
Ref make_bash_subcommand_table();

}  // namespace hook
