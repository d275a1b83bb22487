# Installing files that name installed paths: vorn_install_configured() and
# vorn_install_user_unit(). Included at the top, before any directory that installs such a file.
include(GNUInstallDirs)

# The desktop entries and units name the installed programs by absolute path (a user's ~/.local/bin
# is not on systemd's search path, nor always on a session's), and where the desktop looks for
# autostart entries and user units depends on the prefix. Both are known only when installing:
# `cmake --install --prefix` and CPack choose the prefix after configuring. So these files are
# written at install time from templates naming @VORN_BINDIR@.
#
# Where they go, by install prefix (VORN_AUTOSTART_DIR and VORN_USER_UNIT_DIR, given at install
# time with -D... on `cmake -P` or in the environment, override):
#   /usr, /usr/local:  /etc/xdg/autostart, <prefix>/lib/systemd/user
#   $HOME/.local:      $XDG_CONFIG_HOME/autostart (~/.config/autostart), <prefix>/share/systemd/user
#   any other:         <prefix>/etc/xdg/autostart, <prefix>/share/systemd/user
# System units (the exec guard) go to <prefix>/lib/systemd/system, which systemd reads for /usr and
# /usr/local (VORN_SYSTEM_UNIT_DIR overrides).
install(CODE [[
    get_filename_component(vorn_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
    set(vorn_home_prefix "$ENV{HOME}/.local")
    if(vorn_prefix STREQUAL "/usr" OR vorn_prefix STREQUAL "/usr/local")
        set(vorn_autostart_dir /etc/xdg/autostart)
        set(vorn_user_unit_dir "${vorn_prefix}/lib/systemd/user")
    elseif(NOT "$ENV{HOME}" STREQUAL "" AND vorn_prefix STREQUAL vorn_home_prefix)
        set(vorn_config_home "$ENV{XDG_CONFIG_HOME}")
        if(vorn_config_home STREQUAL "")
            set(vorn_config_home "$ENV{HOME}/.config")
        endif()
        set(vorn_autostart_dir "${vorn_config_home}/autostart")
        set(vorn_user_unit_dir "${vorn_prefix}/share/systemd/user")
    else()
        set(vorn_autostart_dir "${vorn_prefix}/etc/xdg/autostart")
        set(vorn_user_unit_dir "${vorn_prefix}/share/systemd/user")
    endif()
    set(vorn_system_unit_dir "${vorn_prefix}/lib/systemd/system")
    foreach(override VORN_AUTOSTART_DIR VORN_USER_UNIT_DIR VORN_SYSTEM_UNIT_DIR)
        string(TOLOWER ${override} variable)
        if(DEFINED ${override})
            set(${variable} "${${override}}")
        elseif(NOT "$ENV{${override}}" STREQUAL "")
            set(${variable} "$ENV{${override}}")
        endif()
    endforeach()
]])

set(VORN_CONFIGURED_DIR ${CMAKE_BINARY_DIR}/configured)

# vorn_install_configured(TEMPLATE NAME DESTINATION): writes TEMPLATE with @VORN_BINDIR@ and
# @VORN_SBINDIR@ set to the installed programs' folders and installs it as DESTINATION/NAME.
# DESTINATION may use ${vorn_autostart_dir}, ${vorn_user_unit_dir}, ${vorn_system_unit_dir} or
# ${CMAKE_INSTALL_PREFIX} (written escaped, as \${...}, so that they are read at install time).
function(vorn_install_configured template name destination)
    install(CODE "
        set(VORN_BINDIR \"\${vorn_prefix}/${CMAKE_INSTALL_BINDIR}\")
        set(VORN_SBINDIR \"\${vorn_prefix}/${CMAKE_INSTALL_SBINDIR}\")
        configure_file(\"${template}\" \"${VORN_CONFIGURED_DIR}/${name}\" @ONLY)
        file(INSTALL DESTINATION \"${destination}\" TYPE FILE FILES \"${VORN_CONFIGURED_DIR}/${name}\")
    ")
endfunction()

# vorn_install_user_unit(TEMPLATE): a systemd user unit named after TEMPLATE without ".in".
function(vorn_install_user_unit template)
    get_filename_component(name ${template} NAME)
    string(REGEX REPLACE "\\.in$" "" name ${name})
    vorn_install_configured(${template} ${name} "\${vorn_user_unit_dir}")
endfunction()

# vorn_install_system_unit(TEMPLATE): a systemd system unit named after TEMPLATE without ".in".
function(vorn_install_system_unit template)
    get_filename_component(name ${template} NAME)
    string(REGEX REPLACE "\\.in$" "" name ${name})
    vorn_install_configured(${template} ${name} "\${vorn_system_unit_dir}")
endfunction()
