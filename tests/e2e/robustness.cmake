# Robustness end-to-end tests: no display, outputs that cannot be made, frames of another size,
# damaged images, stop signals mid-run and during the console wait. Included by CMakeLists.txt.
seqcat_add_e2e_test(e2e_robustness test_robustness.py TIMEOUT 600)
