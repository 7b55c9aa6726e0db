// The docstrings of the module and its functions, as users read them through help().
#pragma once

namespace hook::docstring {

inline constexpr const char module[] =
    "PostToolUse Hook：Skill 调用后实时上报使用次数。\n"
    "\n"
    "支持三种 Skill 触发方式：\n"
    "\n"
    "1. Claude Code\n"
    "   - tool_name 为 \"Skill\"（内置 Skill 工具）\n"
    "   - skill 名称从 tool_input.command 获取\n"
    "\n"
    "2. Codex CLI 通过 MCP 工具调用（配置了 tovrin MCP server 时）\n"
    "   - tool_name 格式为 \"mcp__tovrin__<tool_name>\"\n"
    "   - 通过 MCP tool_name → skill 名称映射表反查\n"
    "\n"
    "3. Codex CLI 通过 Bash 执行 tovrin CLI 命令（未配置 MCP server 时，主要方式）\n"
    "   - tool_name 为 \"Bash\"\n"
    "   - 从 tool_input.command 中提取 tovrin 子命令，映射到 Skill\n"
    "\n"
    "从 stdin 读取 Hook 事件 JSON，提取 skill 名称，通过 subprocess 调用\n"
    "tovrin skills report-usage 上报到服务端。\n"
    "\n"
    "仅使用 Python 标准库，不依赖 tovrin 包，确保在任何环境下都能执行。\n";
inline constexpr const char main[] =
    "Hook 入口函数。matcher 设为 .* ，脚本内部过滤只处理 Skill 相关调用。\n"
    "\n"
    "    去重：同一 skill 在 5 秒内重复触发时只上报一次。\n"
    "    Claude Code 有时会对同一 Skill 产生两次 PostToolUse 事件，\n"
    "    通过标记文件实现进程间去重。\n"
    "    ";
inline constexpr const char resolve_skill_name[] =
    "从 Hook 事件数据中提取 Skill 名称。\n"
    "\n"
    "    优先级：\n"
    "    1. Claude Code：tool_name == \"Skill\" → tool_input.command\n"
    "    2. Codex 等 MCP 工具：tool_name 以 \"mcp__\" 开头 → 映射表反查\n"
    "    3. Bash 命令：tool_name == \"Bash\" → 从 command 中提取 tovrin 子命令\n"
    "\n"
    "    Args:\n"
    "        data: stdin 读取的 Hook 事件 JSON dict\n"
    "\n"
    "    Returns:\n"
    "        Skill 名称字符串，或 None（无法识别时）\n"
    "    ";
inline constexpr const char resolve_bash_tovrin_command[] =
    "从 Bash 命令字符串中提取 tovrin 子命令并映射到 Skill。\n"
    "\n"
    "    支持的命令格式：\n"
    "    - tovrin auth token status\n"
    "    - tovrin query metadata --dataset xxx\n"
    "    - tovrin skills list\n"
    "    - \"D:\\path\\to\\tovrin.exe\" auth login\n"
    "    - python -m tovrin auth ...\n"
    "\n"
    "    不匹配的命令返回 None（如 git、npm 等非 tovrin 命令）。\n"
    "\n"
    "    Args:\n"
    "        command: Bash 工具的 command 字段值\n"
    "\n"
    "    Returns:\n"
    "        Skill 名称字符串，或 None\n"
    "    ";
inline constexpr const char report_usage[] =
    "调用 tovrin skills report-usage 上报使用记录。\n"
    "\n"
    "    Args:\n"
    "        skill_name: Skill 名称\n"
    "    ";
inline constexpr const char is_duplicate[] =
    "检查同一 skill 是否在去重窗口内已被触发过。\n"
    "\n"
    "    使用标记文件（~/.tovrin/hooks/.dedup_<skill_name>）的修改时间判断。\n"
    "    跨进程安全：多个 hook 进程并发时文件时间戳天然序列化。\n"
    "    标记文件长期残留无副作用（下次触发时覆盖时间戳即可）。\n"
    "\n"
    "    Args:\n"
    "        skill_name: Skill 名称\n"
    "\n"
    "    Returns:\n"
    "        True 表示重复触发，应跳过；False 表示首次或窗口外，应上报\n"
    "    ";

}  // namespace hook::docstring
