// What resolution matches on, as plain data: the words of an event that name a skill, and the
// fixed tables that map a tool or a CLI subcommand to a skill. The module builds its strs and
// dicts from them; the launcher reads them as they are.
#pragma once

namespace hook {

// The members of an event that resolution reads, and the one of tool_input that holds a
// shell's command line (and, in older hosts, the Skill tool's skill).
inline constexpr char tool_name_member[] = "tool_name";
inline constexpr char tool_input_member[] = "tool_input";
inline constexpr char command_member[] = "command";

// The tools whose input can name a skill besides the MCP tools: the Skill tool, and the shells
// whose command lines may run the product CLI. Claude Code on Windows runs its commands
// through the PowerShell tool, with the same input as Bash.
inline constexpr char skill_tool[] = "Skill";
inline constexpr char bash_tool[] = "Bash";
inline constexpr char powershell_tool[] = "PowerShell";

// The product CLI's name: a command line runs the CLI when a program's base name holds it, in
// any letter case.
inline constexpr char cli_name[] = "tovrin";

// _MCP_TOOL_PREFIX: how an MCP tool's name begins.
inline constexpr char mcp_tool_prefix[] = "mcp__";

struct TableEntry {
    const char* key;
    const char* skill;
};

// Where an MCP tool's name keys the table: its last piece under str.split("__"), which begins
// after the last of the separators found from the left without overlap ("a___b" splits as
// "a", "_b"), whatever server served the tool.
template <typename Char, typename Size>
Size mcp_tool_start(const Char* chars, Size length) {
    Size start = 0;
    for (Size i = 0; i + 1 < length;) {
        if (chars[i] == '_' && chars[i + 1] == '_') {
            i += 2;
            start = i;
        } else {
            ++i;
        }
    }
    return start;
}

// _MCP_TOOL_TO_SKILL: an MCP tool, by the last `__` piece of its name, and its skill.
inline constexpr TableEntry mcp_tools[] = {
    {"query_spec_must_read", "tov-dataset-query"},
    {"query_metadata", "tov-dataset-query"},
    {"query_catalog", "tov-dataset-query"},
    {"query_intent_match", "tov-dataset-query"},
    {"query_simple", "tov-dataset-query"},
    {"query_build", "tov-dataset-query"},
    {"query_run", "tov-dataset-query"},
    {"query_build_and_run", "tov-dataset-query"},
    {"query_chart", "tov-dataset-query"},
    {"query_chart_doc", "tov-dataset-query"},
    {"query_preferences", "tov-dataset-query"},
    {"auth_mcp_login", "tov-auth"},
    {"auth_login_start", "tov-auth"},
    {"auth_login_poll", "tov-auth"},
    {"auth_get_token", "tov-auth"},
    {"auth_check_token", "tov-auth"},
    {"auth_is_authenticated", "tov-auth"},
    {"auth_token_refresh", "tov-auth"},
    {"auth_system_list", "tov-auth"},
    {"auth_system_add", "tov-auth"},
    {"auth_system_remove", "tov-auth"},
    {"auth_system_sync", "tov-auth"},
    {"auth_build_request_auth", "tov-auth"},
    {"auth_logout", "tov-auth"},
    {"auth_doctor", "tov-auth"},
    {"feedback_submit", "tov-feedback"},
    {"feedback_detail", "tov-feedback"},
    {"skills_list", "tov-skills"},
    {"skills_status", "tov-skills"},
    {"skills_install", "tov-skills"},
    {"skills_upgrade", "tov-skills"},
    {"skills_marketplace_list", "tov-skills"},
    {"skills_marketplace_info", "tov-skills"},
    {"skills_record_usage", "tov-skills"},
    {"shop_wren_scenarios", "shop-wren"},
    {"shop_wren_run", "shop-wren"},
    {"shop_wren_job_status", "shop-wren"},
    {"shop_wren_export", "shop-wren"},
};

// _BASH_TOVRIN_TO_SKILL: the CLI's first subcommand, in lower case, and its skill.
inline constexpr TableEntry bash_subcommands[] = {
    {"auth", "tov-auth"},
    {"query", "tov-dataset-query"},
    {"skills", "tov-skills"},
    {"mcp", "tov-skills"},
};

}  // namespace hook
