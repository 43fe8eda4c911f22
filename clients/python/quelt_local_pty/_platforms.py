"""The platforms that get a wheel with a bridge inside: release directory name -> the
`sys.platform` and machine it runs on, and the wheel's platform tag. The wheel builder reads
this file on its own (it imports nothing), so the lookup's advice and the wheels agree."""

PLATFORMS = {
    # The Linux bridges are static, so one binary serves glibc and musl systems alike.
    "linux-x64": ("linux", "x86_64", "manylinux_2_17_x86_64.musllinux_1_1_x86_64"),
    "linux-arm64": ("linux", "aarch64", "manylinux_2_17_aarch64.musllinux_1_1_aarch64"),
    # pip tags every macOS from 11 on by its major version only (11.7 accepts macosx_11_0), so
    # these bridges must run on 11.0 itself: their Mach-O minimum OS has to be 11.0.
    "darwin-x64": ("darwin", "x86_64", "macosx_11_0_x86_64"),
    "darwin-arm64": ("darwin", "arm64", "macosx_11_0_arm64"),
}
