// quillframer --describe-options: the command's subcommands and options as JSON, read by
// scripts/gen-docs.py to write the man page, the completions and the reference of docs/commands.md,
// so none of them can drift from --help.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace qftools {

namespace {

nlohmann::json DescribeOption(const CLI::Option &option)
{
    nlohmann::json names = nlohmann::json::array();
    for (const std::string &name : option.get_snames()) names.push_back("-" + name);
    for (const std::string &name : option.get_lnames()) names.push_back("--" + name);
    // CLI11 appends each check's description to the type name, after a colon.
    const std::string type = option.get_type_name();
    const size_t colon = type.find(':');
    nlohmann::json excludes = nlohmann::json::array();
    for (const CLI::Option *other : option.get_excludes()) {
        for (const std::string &name : other->get_snames()) excludes.push_back("-" + name);
        for (const std::string &name : other->get_lnames()) excludes.push_back("--" + name);
    }
    const bool flag = option.get_items_expected_max() == 0;
    return {{"names", names},
            {"name", option.get_name(true)},
            {"value", flag ? "" : type.substr(0, colon)},
            {"check", colon == std::string::npos ? "" : type.substr(colon + 1)},
            {"description", option.get_description()},
            {"required", option.get_required()},
            {"repeatable", option.get_items_expected_max() > 1 || (flag && option.get_expected_max() > 1)},
            {"excludes", excludes}};
}

nlohmann::json DescribeCommand(const CLI::App &app)
{
    nlohmann::json command = {{"name", app.get_name()},
                              {"description", app.get_description()},
                              {"positionals", nlohmann::json::array()},
                              {"options", nlohmann::json::array()},
                              {"commands", nlohmann::json::array()}};
    // An empty group hides an option or subcommand from --help; it stays out of the docs too.
    for (const CLI::Option *option : app.get_options()) {
        if (option->get_group().empty()) continue;
        command[option->nonpositional() ? "options" : "positionals"].push_back(DescribeOption(*option));
    }
    for (const CLI::App *sub : app.get_subcommands({}))
        if (!sub->get_group().empty()) command["commands"].push_back(DescribeCommand(*sub));
    return command;
}

}  // namespace

int DescribeOptions(const CLI::App &app)
{
    std::printf("%s\n", DescribeCommand(app).dump(1).c_str());
    return 0;
}

}  // namespace qftools
