<?php
$row = $_POST;
if (!$row) {
	if (!$_GET["auto_increment"]) { // don't prefill by the original counter for the sake of speed
		$row["Auto_increment"] = "";
	}
	/* an end marker in a block comment ?> does not end the code */
	$header = '<?xml version="1.0"?>' . "\n";
	$packet = '<?xpacket begin="' . $mark . '" id="x"?>';
}
?>
<form action="" method="post" id="form">
<p>Table name: <input name="name" value="<?php echo h($row["name"]); ?>" autocapitalize="off">
<?php if ($row["engine"]) { // it's optional ?>
<select name="Engine"><option value="">(engine)</option></select>
<?php } ?>
<input type="submit" value="Save">
</form>
<script>
var hint = "the table's name";
</script>
