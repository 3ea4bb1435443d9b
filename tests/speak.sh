# Sourced by the check scripts. speak TOOL COMMAND...: runs the command with each line of its output
# led by the tool's name and the repository's path taken out of the paths it names.
speak() {
    local tool=$1
    shift
    "$@" 2>&1 | sed -e "s|$PWD/||g" -e "s|^|$tool: |"
}
