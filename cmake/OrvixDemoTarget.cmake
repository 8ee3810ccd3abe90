# orvix_demo: what scripts/demo runs, and nothing more, so that `make demo` does not wait for the
# test suite. Besides the programs, the demo copies the SBC engine's stand-ins beside the decoder
# and runs the update checker against the gateway emulator with the emulator's configuration;
# those two live with the tests, so without the tests the update checker's part of the demo
# reports them missing.
add_custom_target(orvix_demo)
add_dependencies(orvix_demo orvix_programs orvix_sbc_decoder_standins)
foreach(helper orvix-update-gateway-emulator orvix_update_host_under_test)
  if(TARGET ${helper})
    add_dependencies(orvix_demo ${helper})
  endif()
endforeach()
