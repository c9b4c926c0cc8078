# fish completion for kyfw, the Ky's firmware updater. Installed as
# share/fish/vendor_completions.d/kyfw.fish, where fish looks for it.

# The GUID, device file and unit of each Ky that "kyfw list --names" prints,
# from the kyfw on the line with the options that choose its bus (--record
# would write a recording, --replay-timing take its time). Nothing when
# kyfw cannot list: completion fails quietly.
function __kyfw_devices
    set -l words (commandline -opc)
    set -l kyfw (string replace -r '^~/' "$HOME/" -- $words[1])
    set -l bus
    set -l i 2
    while test $i -le (count $words)
        switch $words[$i]
            case --simulate --sim-reset '--sim-fault=*' '--replay=*'
                set -a bus $words[$i]
            case --sim-fault --replay
                set -a bus $words[$i]
                set i (math $i + 1)
                test $i -le (count $words)
                and set -a bus (string replace -r '^~/' "$HOME/" -- $words[$i])
            case --record --device --wait-timeout --jobs
                set i (math $i + 1)
        end
        set i (math $i + 1)
    end
    set -l deadline
    command -q timeout
    and set deadline timeout 10
    $deadline $kyfw $bus list --names 2>/dev/null </dev/null
end

# The subcommand's name, or nothing before it.
function __kyfw_command
    set -l words (commandline -opc)
    set -l i 2
    while test $i -le (count $words)
        switch $words[$i]
            case --sim-fault --record --replay --device --wait-timeout --jobs
                set i (math $i + 1)
            case '-*'
            case '*'
                echo $words[$i]
                return 0
        end
        set i (math $i + 1)
    end
    return 1
end

function __kyfw_no_command
    not __kyfw_command >/dev/null
end

function __kyfw_in
    contains -- (__kyfw_command) $argv
end

# The subcommand whose help is asked for, right after help.
function __kyfw_help_topic
    set -l words (commandline -opc)
    __kyfw_in help
    and test "$words[-1]" = help
end

complete -c kyfw -f

# Options before or after the subcommand.
complete -c kyfw -s h -l help -d 'Print the help and exit'
complete -c kyfw -l version -d 'Print the version and exit'
complete -c kyfw -l simulate -d 'Use the simulated Ky instead of the FireWire bus'
complete -c kyfw -l sim-reset -d 'Start the simulated Ky afresh'
complete -c kyfw -l sim-fault -x -d 'Inject a fault into the simulated Ky' -a '
    update-mode-unanswered\t"The Ky enters update mode but its answer is lost"
    not-ready\t"The Ky is not ready after entering update mode"
    erase-unanswered\t"The Ky does not answer the command to erase the FPGA flash"
    erase-failure\t"The FPGA flash reports a failure while erasing"
    erase-timeout\t"No erase ever ends"
    header-busy\t"The header of the FPGA image is answered busy"
    block-busy\t"A block of the FPGA image is answered busy"
    crc-rejected\t"The Ky rejects the CRC of both images"
    mcore-erase-failure\t"The MCORE flash reports a failure while erasing"
    mcore-crc-rejected\t"The Ky rejects the CRC of the MCORE image alone"
    vanish\t"The Ky leaves the bus in the middle of the FPGA image"
    bus-reset\t"The bus resets in the middle of the FPGA image"
    in-use\t"Another updater holds the Ky"
    restart-old-firmware\t"After the update the Ky starts its old firmware"
    restart-never-back\t"Switched off after the update, the Ky never comes back"
    absent\t"No Ky on the bus"'
complete -c kyfw -s v -l verbose -d "Show the engine's trace lines on stderr"
complete -c kyfw -l record -r -F -d 'Write every FireWire transaction to a file for a bug report'
complete -c kyfw -l record-anonymous -d 'With --record: replace the GUIDs and the serial number'
complete -c kyfw -l replay -r -F -d 'Answer from a recording instead of a bus'
complete -c kyfw -l replay-timing -d 'With --replay: take as long between answers as the recording did'

# The subcommands.
complete -c kyfw -n __kyfw_no_command -a list -d 'List every Ky on the bus with its versions'
complete -c kyfw -n __kyfw_no_command -a info -d 'Describe the firmware images built into kyfw'
complete -c kyfw -n __kyfw_no_command -a update -d 'Write the built-in firmware into the Ky'
complete -c kyfw -n __kyfw_no_command -a help -d 'Print the help of kyfw or of a subcommand'
complete -c kyfw -n __kyfw_help_topic -a 'list info update'

# Their options.
complete -c kyfw -n '__kyfw_in list info update' -l json -d 'Print one JSON document and nothing else'
complete -c kyfw -n '__kyfw_in list' -l names -d 'Print what --device takes for each Ky, one a line'
complete -c kyfw -n '__kyfw_in update' -l device -x -a '(__kyfw_devices)' -d 'The Ky to update: GUID, /dev/fwN or unit'
complete -c kyfw -n '__kyfw_in update' -l all -d 'Update every Ky that the built-in firmware would upgrade'
complete -c kyfw -n '__kyfw_in update' -l jobs -x -d 'With --all: write at most N Kys at once (1-63)'
complete -c kyfw -n '__kyfw_in update' -s y -l yes -d 'Do not ask for confirmation'
complete -c kyfw -n '__kyfw_in update' -l allow-downgrade -d 'Write the built-in firmware even if the Ky has newer firmware'
complete -c kyfw -n '__kyfw_in update' -l reinstall -d 'Write the built-in firmware even if the Ky already has it'
complete -c kyfw -n '__kyfw_in update' -l wait -d 'Wait for the Ky to be switched off and on and check its firmware'
complete -c kyfw -n '__kyfw_in update' -l no-wait -d 'Do not wait for the restart'
complete -c kyfw -n '__kyfw_in update' -l wait-timeout -x -d 'Seconds to wait for the Ky to leave, and to come back (1-86400)'
