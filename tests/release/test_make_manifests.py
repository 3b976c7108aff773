"""The manifests' YAML writer."""
import unittest

from make_manifests import yaml


class Yaml(unittest.TestCase):
    def test_scalars_mappings_and_sequences(self):
        self.assertEqual(yaml([
            ("Id", "Zelnar.PortCheck"),
            ("Installers", [[("Architecture", "x64"),
                             ("Switches", (("InstallLocation", 'INSTALLDIR="<INSTALLPATH>"'),)),
                             ("Commands", ["portcheck"]),
                             ("Entries", [[("ProductCode", "{A}"), ("UpgradeCode", "{B}")]])]])]),
            "# Made by scripts/release.sh; the same release gives the same text.\n"
            'Id: "Zelnar.PortCheck"\n'
            "Installers:\n"
            '  - Architecture: "x64"\n'
            "    Switches:\n"
            '      InstallLocation: "INSTALLDIR=\\"<INSTALLPATH>\\""\n'
            "    Commands:\n"
            '      - "portcheck"\n'
            "    Entries:\n"
            '      - ProductCode: "{A}"\n'
            '        UpgradeCode: "{B}"\n')


if __name__ == "__main__":
    unittest.main()
